#include "ui/preferences/appearance_page.h"

#include <QCheckBox>
#include <QDateTime>
#include <QFile>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QSvgRenderer>
#include <QVBoxLayout>

#include "prefs/keys.h"
#include "ui/preferences/logo_image.h"
#include "ui/preferences/page_style.h"

namespace lumeno::ui {

namespace key = prefs::key;

namespace {

constexpr QSize kPreviewSize{200, 120};
// An SVG without a size of its own is drawn at this size for the preview.
constexpr QSize kSvgFallbackSize{400, 240};

}  // namespace

QImage decodeLogo(const std::string& bytes) {
    const auto kind = detectLogoKind(bytes);
    if (!kind) return {};
    const QByteArray data(bytes.data(), static_cast<qsizetype>(bytes.size()));
    if (*kind != LogoKind::svg) return QImage::fromData(data);
    QSvgRenderer renderer(data);
    if (!renderer.isValid()) return {};
    QSize size = renderer.defaultSize();
    if (size.isEmpty()) size = kSvgFallbackSize;
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    renderer.render(&painter);
    return image;
}

AppearancePage::AppearancePage(PreferencesServices services) : PreferencesPage(services) {
    logoImageView_ = new QLabel(this);
    selectLogoButton_ = new QPushButton(QStringLiteral("Select Logo..."), this);
    clearLogoButton_ = new QPushButton(QStringLiteral("Clear"), this);
    titleTextField_ = new QLineEdit(this);
    subtitleTextField_ = new QLineEdit(this);
    useLogoCheckbox_ = new QCheckBox(QStringLiteral("Use custom logo instead of text title"), this);
    titleLabel_ = new QLabel(QStringLiteral("Title:"), this);
    subtitleLabel_ = new QLabel(QStringLiteral("Subtitle:"), this);

    logoImageView_->setFixedSize(kPreviewSize);
    logoImageView_->setAlignment(Qt::AlignCenter);
    logoImageView_->setStyleSheet(QStringLiteral(
        "QLabel { background: palette(base); border: 1px solid palette(mid); border-radius: 8px; }"));
    titleTextField_->setPlaceholderText(QString::fromUtf8(prefs::kDefaultTitle));
    subtitleTextField_->setPlaceholderText(QString::fromUtf8(prefs::kDefaultSubtitle));
    titleTextField_->setFixedSize(310, 24);
    subtitleTextField_->setFixedSize(310, 24);
    // The store cuts longer text anyway; the field stops the typing there instead.
    titleTextField_->setMaxLength(static_cast<int>(prefs::kMaxTitleCharacters));
    subtitleTextField_->setMaxLength(static_cast<int>(prefs::kMaxTitleCharacters));

    auto* buttons = new QVBoxLayout;
    buttons->addWidget(selectLogoButton_);
    buttons->addWidget(clearLogoButton_);
    buttons->addStretch();
    auto* logoRow = new QHBoxLayout;
    logoRow->addWidget(logoImageView_);
    logoRow->addLayout(buttons);
    logoRow->addStretch();

    auto* fields = new QGridLayout;
    fields->addWidget(titleLabel_, 0, 0);
    fields->addWidget(titleTextField_, 0, 1);
    fields->addWidget(subtitleLabel_, 1, 0);
    fields->addWidget(subtitleTextField_, 1, 1);
    fields->setColumnStretch(2, 1);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(style::sectionLabel(QStringLiteral("Logo"), this));
    layout->addWidget(useLogoCheckbox_);
    layout->addLayout(logoRow);
    layout->addWidget(style::noteLabel(
        QStringLiteral("Recommended: PNG or SVG with transparent background\nSupports: .png, .jpg, .gif, .svg"), 11,
        this));
    layout->addSpacing(8);
    layout->addWidget(style::sectionLabel(QStringLiteral("Text Content"), this));
    layout->addLayout(fields);
    layout->addStretch();

    connect(useLogoCheckbox_, &QCheckBox::clicked, this, [this] { useLogoChanged(); });
    connect(selectLogoButton_, &QPushButton::clicked, this, [this] { selectLogo(); });
    connect(clearLogoButton_, &QPushButton::clicked, this, [this] { clearLogo(); });
    connect(titleTextField_, &QLineEdit::textEdited, this, [this] { textFieldChanged(); });
    connect(subtitleTextField_, &QLineEdit::textEdited, this, [this] { textFieldChanged(); });
}

void AppearancePage::load() {
    const auto& store = services_.preferences.defaults();
    useLogoCheckbox_->setChecked(store.boolForKey(key::kUseCustomLogo));
    titleTextField_->setText(QString::fromStdString(store.stringForKey(key::kCustomTitle).value_or("")));
    subtitleTextField_->setText(QString::fromStdString(store.stringForKey(key::kCustomSubtitle).value_or("")));
    if (const auto logo = store.dataForKey(key::kLogoImageData)) showPreview(decodeLogo(*logo));
    updateUIState();
}

void AppearancePage::showPreview(QImage image) {
    preview_ = std::move(image);
    if (preview_.isNull()) {
        logoImageView_->clear();
        return;
    }
    const QSize inner = kPreviewSize - QSize(8, 8);  // inside the border and its rounded corners
    logoImageView_->setPixmap(
        QPixmap::fromImage(preview_.scaled(inner, Qt::KeepAspectRatio, Qt::SmoothTransformation)));
}

void AppearancePage::stampLogoChange() {
    services_.preferences.defaults().setDouble(key::kLogoTimestamp,
                                               static_cast<double>(QDateTime::currentMSecsSinceEpoch()) / 1000.0);
}

void AppearancePage::postChange() { services_.notifications.post(prefs::kPreferencesDidChange); }

void AppearancePage::useLogoChanged() {
    services_.preferences.defaults().setBool(key::kUseCustomLogo, useLogoCheckbox_->isChecked());
    stampLogoChange();
    updateUIState();
    postChange();
}

void AppearancePage::selectLogo() {
    services_.dialogs.chooseFile(this, PreferencesDialogs::FileRequest::openLogo,
                                 [page = QPointer<AppearancePage>(this)](const QString& path) {
                                     if (page) page->logoFileChosen(path);
                                 });
}

void AppearancePage::logoFileChosen(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        alert(QStringLiteral("Error"), QStringLiteral("Error reading file: ") + file.errorString());
        return;
    }
    // One byte over the limit is enough to refuse; a huge file is never read whole.
    const QByteArray bytes = file.read(static_cast<qint64>(kMaxLogoBytes) + 1);
    if (bytes.isEmpty() && file.error() != QFileDevice::NoError) {
        alert(QStringLiteral("Error"), QStringLiteral("Error reading file: ") + file.errorString());
        return;
    }
    if (static_cast<std::size_t>(bytes.size()) > kMaxLogoBytes) {
        alert(QStringLiteral("Error"), QStringLiteral("The image is larger than %1. Please select a smaller image file.")
                                           .arg(QString::fromLatin1(kMaxLogoText)));
        return;
    }
    const std::string logo = bytes.toStdString();
    const auto kind = detectLogoKind(logo);
    QImage image = decodeLogo(logo);
    if (!kind || image.isNull()) {
        alert(QStringLiteral("Error"), QStringLiteral("Unable to load image. Please select a valid image file."));
        return;
    }
    showPreview(std::move(image));
    auto& store = services_.preferences.defaults();
    store.setData(key::kLogoImageData, logo);
    stampLogoChange();
    store.setString(key::kLogoFileExtension, std::string(logoExtension(*kind)));
    updateUIState();
    postChange();
}

void AppearancePage::clearLogo() {
    showPreview({});
    auto& store = services_.preferences.defaults();
    store.setData(key::kLogoImageData, std::nullopt);
    stampLogoChange();
    store.setString(key::kLogoFileExtension, std::nullopt);
    updateUIState();
    postChange();
}

void AppearancePage::textFieldChanged() {
    auto& store = services_.preferences.defaults();
    const auto stored = [](const QLineEdit* field) -> std::optional<std::string> {
        if (field->text().isEmpty()) return std::nullopt;
        return field->text().toStdString();
    };
    store.setString(key::kCustomTitle, stored(titleTextField_));
    store.setString(key::kCustomSubtitle, stored(subtitleTextField_));
    postChange();
}

void AppearancePage::updateUIState() {
    const bool useLogo = useLogoCheckbox_->isChecked();
    selectLogoButton_->setEnabled(useLogo);
    clearLogoButton_->setEnabled(useLogo && previewHasImage());
    titleLabel_->setEnabled(!useLogo);  // greyed like disabled text
    titleTextField_->setEnabled(!useLogo);
}

}  // namespace lumeno::ui
