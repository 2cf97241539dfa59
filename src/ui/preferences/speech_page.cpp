#include "ui/preferences/speech_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include "prefs/keys.h"
#include "ui/preferences/page_style.h"

namespace lumeno::ui {

using speech::AuthorizationStatus;
using speech::SpeechRecognitionManager;

namespace {

QString informationText() {
    return QStringLiteral(
               "Live Transcription Features:\n• Real-time speech-to-text conversion\n• On-device processing "
               "(privacy-focused)\n• Broadcasts to all connected web clients\n• Supports %1+ languages\n\n"
               "Requirements:\n• A speech model for the language, in a folder named after it\n"
               "  (en-us or en-US) under LUMENO_MODEL_DIR or /usr/share/pocketsphinx/model\n"
               "• Clear audio input from microphone\n\n"
               "Note: Transcription quality depends on audio clarity,\nbackground noise levels, and speaker accent.")
        .arg(SpeechRecognitionManager::supportedLanguages().size());
}

}  // namespace

SpeechPage::SpeechPage(PreferencesServices services) : PreferencesPage(services) {
    speechEnabledCheckbox_ = new QCheckBox(QStringLiteral("Enable live transcription"), this);
    speechLanguagePopup_ = new QComboBox(this);
    for (const auto& language : SpeechRecognitionManager::supportedLanguages())
        speechLanguagePopup_->addItem(QString::fromUtf8(language.displayName), QString::fromUtf8(language.identifier));
    languageModelPopup_ = new QComboBox(this);
    languageModelPopup_->addItem(QStringLiteral("Church (Bible, sermons, scripture references)"), QStringLiteral("church"));
    languageModelPopup_->addItem(QStringLiteral("General"), QStringLiteral("general"));
    speechStatusLabel_ = new QLabel(QStringLiteral("Checking authorization..."), this);
    speechStatusLabel_->setWordWrap(true);
    style::setTextColor(speechStatusLabel_, style::kSecondary);
    requestAuthButton_ = new QPushButton(QStringLiteral("Request Authorization"), this);
    requestAuthButton_->hide();
    languageModelStatusLabel_ = new QLabel(this);
    languageModelStatusLabel_->setWordWrap(true);
    infoLabel_ = style::noteLabel(informationText(), 10, this);

    auto* languageRow = new QHBoxLayout;
    languageRow->addWidget(new QLabel(QStringLiteral("Language:"), this));
    languageRow->addWidget(speechLanguagePopup_);
    languageRow->addStretch();
    auto* modelRow = new QHBoxLayout;
    modelRow->addWidget(new QLabel(QStringLiteral("Language model:"), this));
    modelRow->addWidget(languageModelPopup_);
    modelRow->addStretch();

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(speechEnabledCheckbox_);
    layout->addLayout(languageRow);
    layout->addLayout(modelRow);
    layout->addSpacing(8);
    layout->addWidget(style::sectionLabel(QStringLiteral("Status"), this));
    layout->addWidget(speechStatusLabel_);
    layout->addWidget(languageModelStatusLabel_);
    layout->addWidget(requestAuthButton_, 0, Qt::AlignLeft);
    layout->addWidget(infoLabel_);
    layout->addStretch();

    connect(speechEnabledCheckbox_, &QCheckBox::clicked, this, [this] { speechEnabledChanged(); });
    connect(speechLanguagePopup_, &QComboBox::activated, this, [this] { speechLanguageChanged(); });
    connect(languageModelPopup_, &QComboBox::activated, this, [this] { languageModelChanged(); });
    connect(requestAuthButton_, &QPushButton::clicked, this, [this] { requestSpeechAuth(); });
}

void SpeechPage::load() {
    showStoredLanguage();
    languageModelPopup_->setCurrentIndex(services_.speech->languageModel() == speech::LanguageModelChoice::general ? 1 : 0);
    updateSpeechStatus();
    observe(speech::kSpeechRecognitionStatusChanged, [this] { updateSpeechStatus(); });
}

void SpeechPage::showStoredLanguage() {
    const QString stored = QString::fromStdString(services_.preferences.speechLanguage());
    int index = speechLanguagePopup_->findData(stored);
    if (index < 0) {
        // Set by hand to a locale outside the list: shown as it is, so the pop-up never claims
        // a language that is not the one in use.
        speechLanguagePopup_->addItem(stored, stored);
        index = speechLanguagePopup_->count() - 1;
    }
    speechLanguagePopup_->setCurrentIndex(index);
}

void SpeechPage::speechEnabledChanged() {
    auto& session = *services_.speech;
    const bool enabled = speechEnabledCheckbox_->isChecked();
    services_.preferences.defaults().setBool(prefs::key::kSpeechRecognitionEnabled, enabled);
    if (!enabled) {
        session.stopRecognition();
    } else {
        session.refreshAuthorizationStatus();
        if (session.platformAuthorizationStatus() == AuthorizationStatus::authorized) session.startRecognition();
    }
    updateSpeechStatus();
}

void SpeechPage::speechLanguageChanged() {
    const QString identifier = speechLanguagePopup_->currentData().toString();
    if (identifier.isEmpty()) return;
    services_.speech->setLanguage(identifier.toStdString());
    services_.log.print("🎤 Changed speech recognition language to: ", identifier.toStdString());
    updateSpeechStatus();
}

void SpeechPage::languageModelChanged() {
    const bool general = languageModelPopup_->currentData().toString() == QStringLiteral("general");
    services_.speech->setLanguageModel(general ? speech::LanguageModelChoice::general : speech::LanguageModelChoice::church);
    services_.log.print("🎤 Changed the language model to: ", general ? "general" : "church");
    updateSpeechStatus();
}

void SpeechPage::requestSpeechAuth() {
    services_.speech->requestAuthorization([page = QPointer<SpeechPage>(this)](bool granted) {
        if (!page) return;
        page->updateSpeechStatus();
        if (!granted) return;
        page->speechEnabledCheckbox_->setChecked(true);
        page->speechEnabledChanged();
    });
}

void SpeechPage::updateSpeechStatus() {
    auto& session = *services_.speech;
    {
        const QSignalBlocker quiet(speechEnabledCheckbox_);
        speechEnabledCheckbox_->setChecked(
            services_.preferences.defaults().boolForKey(prefs::key::kSpeechRecognitionEnabled));
    }
    const auto show = [this](const QString& text, const QColor& color) {
        speechStatusLabel_->setText(text);
        style::setTextColor(speechStatusLabel_, color);
    };
    const AuthorizationStatus status = session.platformAuthorizationStatus();
    requestAuthButton_->setVisible(status == AuthorizationStatus::notDetermined);
    switch (status) {
        case AuthorizationStatus::notDetermined:
            show(QStringLiteral("⚠️ Authorization required"), style::kOrange);
            return;
        case AuthorizationStatus::denied:
            show(QStringLiteral("❌ Access denied - Enable in System Preferences"), style::kRed);
            speechEnabledCheckbox_->setEnabled(false);
            return;
        case AuthorizationStatus::restricted:
            show(QStringLiteral("❌ Restricted by system policy"), style::kRed);
            speechEnabledCheckbox_->setEnabled(false);
            return;
        case AuthorizationStatus::authorized:
            break;
    }
    speechEnabledCheckbox_->setEnabled(true);
    const auto model = session.languageModelStatus();
    if (model.problem.empty()) {
        languageModelStatusLabel_->setText(model.inUse == speech::LanguageModelChoice::church
                                               ? QStringLiteral("Captions use the church language model.")
                                               : QStringLiteral("Captions use the general language model."));
        style::setTextColor(languageModelStatusLabel_, style::kSecondary);
    } else {
        languageModelStatusLabel_->setText(QStringLiteral("⚠️ Captions use the general language model: ") +
                                           QString::fromStdString(model.problem) + QStringLiteral("."));
        style::setTextColor(languageModelStatusLabel_, style::kOrange);
    }
    const std::string language = services_.preferences.speechLanguage();
    const QString name = QString::fromStdString(SpeechRecognitionManager::languageName(language));
    switch (session.modelState(language)) {
        case SpeechRecognitionManager::ModelState::missing:
            show(QStringLiteral("❌ No speech model for ") + name, style::kRed);
            return;
        case SpeechRecognitionManager::ModelState::broken:
            show(QStringLiteral("❌ The speech model for ") + name + QStringLiteral(" could not be loaded"),
                 style::kRed);
            return;
        case SpeechRecognitionManager::ModelState::ready:
            show(QStringLiteral("✓ Ready - ") + QString::fromStdString(session.statusText()), style::kGreen);
            return;
    }
}

}  // namespace lumeno::ui
