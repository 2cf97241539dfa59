#include "ui/preferences/corrections_page.h"

#include <QCheckBox>
#include <QFile>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSaveFile>
#include <QTableWidget>
#include <QVBoxLayout>

#include "prefs/keys.h"
#include "ui/preferences/corrections_file.h"
#include "ui/preferences/page_style.h"

namespace lumeno::ui {

namespace key = prefs::key;

namespace {

// Far beyond any hand-made list; a bigger file is not a corrections file.
constexpr qint64 kMaxImportBytes = 8 * 1024 * 1024;

QLabel* cellLabel(const std::string& text) {
    auto* label = new QLabel(QString::fromStdString(text));
    label->setFont(style::scaledFont(label->font(), 11));
    label->setContentsMargins(4, 0, 4, 0);
    return label;
}

}  // namespace

CorrectionsPage::CorrectionsPage(PreferencesServices services) : PreferencesPage(services) {
    correctionsCheckbox_ = new QCheckBox(QStringLiteral("Enable text corrections"), this);
    biblicalCheckbox_ = new QCheckBox(QStringLiteral("Include biblical/religious terms"), this);
    auto* heading = new QLabel(QStringLiteral("Custom Corrections:"), this);
    QFont bold = style::scaledFont(heading->font(), 12);
    bold.setBold(true);
    heading->setFont(bold);

    table_ = new QTableWidget(0, 3, this);
    table_->setObjectName(QStringLiteral("correctionsTable"));
    table_->setHorizontalHeaderLabels(
        {QStringLiteral("Incorrect (as heard)"), QStringLiteral("Correct"), QString()});
    table_->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
    table_->horizontalHeader()->setSectionResizeMode(1, QHeaderView::Stretch);
    table_->horizontalHeader()->setSectionResizeMode(2, QHeaderView::Fixed);
    table_->setColumnWidth(2, 50);
    table_->verticalHeader()->hide();
    table_->setSelectionMode(QAbstractItemView::NoSelection);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    table_->setFixedWidth(420);

    incorrectField_ = new QLineEdit(this);
    incorrectField_->setObjectName(QStringLiteral("incorrectField"));
    incorrectField_->setPlaceholderText(QStringLiteral("e.g., john"));
    correctField_ = new QLineEdit(this);
    correctField_->setObjectName(QStringLiteral("correctField"));
    correctField_->setPlaceholderText(QStringLiteral("e.g., John"));
    addButton_ = new QPushButton(QStringLiteral("Add"), this);
    importButton_ = new QPushButton(QStringLiteral("Import…"), this);
    importButton_->setToolTip(QStringLiteral("Replace the custom corrections with those of a JSON file"));
    exportButton_ = new QPushButton(QStringLiteral("Export…"), this);
    exportButton_->setToolTip(QStringLiteral("Save the custom corrections as a JSON file for lumeno-text"));

    auto* addRow = new QHBoxLayout;
    addRow->addWidget(new QLabel(QStringLiteral("Incorrect:"), this));
    addRow->addWidget(incorrectField_);
    addRow->addWidget(new QLabel(QStringLiteral("Correct:"), this));
    addRow->addWidget(correctField_);
    addRow->addWidget(addButton_);

    // The window has a fixed size and this tab holds two lists: the checkboxes and the file
    // buttons share rows so both lists keep room for several entries.
    auto* switchRow = new QHBoxLayout;
    switchRow->addWidget(correctionsCheckbox_);
    switchRow->addWidget(biblicalCheckbox_);
    switchRow->addStretch();

    auto* headingRow = new QHBoxLayout;
    headingRow->addWidget(heading);
    headingRow->addStretch();
    headingRow->addWidget(importButton_);
    headingRow->addWidget(exportButton_);

    auto* vocabularyHeading = new QLabel(QStringLiteral("Vocabulary (names and words to recognise):"), this);
    vocabularyHeading->setFont(bold);
    vocabularyList_ = new QListWidget(this);
    vocabularyList_->setObjectName(QStringLiteral("vocabularyList"));
    vocabularyList_->setFixedWidth(420);
    vocabularyList_->setMinimumHeight(64);
    vocabularyField_ = new QLineEdit(this);
    vocabularyField_->setObjectName(QStringLiteral("vocabularyField"));
    vocabularyField_->setPlaceholderText(QStringLiteral("e.g., Pastor Okonkwo"));
    pronunciationField_ = new QLineEdit(this);
    pronunciationField_->setObjectName(QStringLiteral("pronunciationField"));
    pronunciationField_->setPlaceholderText(QStringLiteral("pronunciation (optional)"));
    pronunciationField_->setToolTip(QStringLiteral(
        "Only for a single word the recogniser gets wrong: its sounds, e.g. SH IH V AO N for Siobhan"));
    addVocabularyButton_ = new QPushButton(QStringLiteral("Add"), this);
    removeVocabularyButton_ = new QPushButton(QStringLiteral("Remove"), this);
    auto* vocabularyRow = new QHBoxLayout;
    vocabularyRow->addWidget(vocabularyField_, 2);
    vocabularyRow->addWidget(pronunciationField_, 2);
    vocabularyRow->addWidget(addVocabularyButton_);
    vocabularyRow->addWidget(removeVocabularyButton_);

    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(4);
    layout->addLayout(switchRow);
    layout->addLayout(headingRow);
    layout->addWidget(table_, 3);
    layout->addLayout(addRow);
    layout->addSpacing(4);
    layout->addWidget(vocabularyHeading);
    layout->addWidget(vocabularyList_, 2);
    layout->addLayout(vocabularyRow);
    layout->addWidget(style::noteLabel(
        QStringLiteral("Text corrections are applied after speech recognition and before broadcasting to listeners. "
                       "Biblical terms are enabled by default.\n\nExamples: Genesis, Exodus, Psalms, Matthew, John, "
                       "Jesus, Christ, Scripture, Communion, and many more."),
        10, this));

    connect(correctionsCheckbox_, &QCheckBox::clicked, this, [this] { correctionsEnabledChanged(); });
    connect(biblicalCheckbox_, &QCheckBox::clicked, this, [this] { biblicalTermsChanged(); });
    connect(addButton_, &QPushButton::clicked, this, [this] { addCustomCorrection(); });
    connect(importButton_, &QPushButton::clicked, this, [this] { importCorrections(); });
    connect(exportButton_, &QPushButton::clicked, this, [this] { exportCorrections(); });
    connect(addVocabularyButton_, &QPushButton::clicked, this, [this] { addVocabularyEntry(); });
    connect(vocabularyField_, &QLineEdit::returnPressed, this, [this] { addVocabularyEntry(); });
    connect(removeVocabularyButton_, &QPushButton::clicked, this,
            [this] { removeVocabularyEntry(vocabularyList_->currentRow()); });
}

void CorrectionsPage::reloadVocabulary() {
    vocabularyList_->clear();
    for (const auto& entry : services_.speech->vocabulary()) {
        QString text = QString::fromStdString(entry.text);
        if (!entry.pronunciation.empty()) text += QStringLiteral("  [") + QString::fromStdString(entry.pronunciation) + u']';
        vocabularyList_->addItem(text);
    }
    removeVocabularyButton_->setEnabled(vocabularyList_->count() > 0);
}

void CorrectionsPage::addVocabularyEntry() {
    const std::string error = services_.speech->addVocabularyEntry(vocabularyField_->text().toStdString(),
                                                                   pronunciationField_->text().toStdString());
    if (!error.empty()) {
        alert(QStringLiteral("Invalid Vocabulary Entry"), QString::fromStdString(error));
        return;
    }
    vocabularyField_->clear();
    pronunciationField_->clear();
    reloadVocabulary();
}

void CorrectionsPage::removeVocabularyEntry(int row) {
    if (row < 0) return;
    services_.speech->removeVocabularyEntry(static_cast<std::size_t>(row));
    reloadVocabulary();
}

void CorrectionsPage::load() {
    correctionsCheckbox_->setChecked(services_.preferences.defaults().boolForKey(key::kTranscriptionCorrectionsEnabled));
    biblicalCheckbox_->setChecked(services_.corrections->useBiblicalTerms());
    reloadTable();
    reloadVocabulary();
}

void CorrectionsPage::reloadTable() {
    cache_.clear();
    for (const auto& entry : services_.corrections->customCorrections()) cache_.push_back(entry);
    table_->setRowCount(static_cast<int>(cache_.size()));
    for (int row = 0; row < static_cast<int>(cache_.size()); ++row) {
        table_->setCellWidget(row, 0, cellLabel(cache_[row].first));
        table_->setCellWidget(row, 1, cellLabel(cache_[row].second));
        auto* remove = new QPushButton(QStringLiteral("✕"));
        remove->setFlat(true);
        remove->setFont(style::scaledFont(remove->font(), 14));
        connect(remove, &QPushButton::clicked, this, [this, row] { deleteCustomCorrection(row); });
        table_->setCellWidget(row, 2, remove);
    }
}

void CorrectionsPage::correctionsEnabledChanged() {
    const bool enabled = correctionsCheckbox_->isChecked();
    services_.preferences.defaults().setBool(key::kTranscriptionCorrectionsEnabled, enabled);
    services_.corrections->loadCorrections();
    services_.log.print("📝 Text corrections: ", enabled ? "Enabled" : "Disabled");
}

void CorrectionsPage::biblicalTermsChanged() {
    const bool enabled = biblicalCheckbox_->isChecked();
    services_.preferences.defaults().setBool(key::kTranscriptionUseBiblicalTerms, enabled);
    services_.corrections->loadCorrections();
    services_.log.print("📝 Biblical terms: ", enabled ? "Enabled" : "Disabled");
}

void CorrectionsPage::addCustomCorrection() {
    const std::string incorrect = incorrectField_->text().trimmed().toStdString();
    const std::string correct = correctField_->text().trimmed().toStdString();
    if (incorrect.empty() || correct.empty()) {
        alert(QStringLiteral("Invalid Input"), QStringLiteral("Both fields must be filled in."));
        return;
    }
    const std::string name = correctionKey(incorrect);
    auto corrections = services_.corrections->customCorrections();
    // A spelling of the same name with capitals (written by hand) would compete with this one.
    std::erase_if(corrections, [&](const auto& entry) { return entry.first != name && correctionKey(entry.first) == name; });
    corrections[name] = correct;
    services_.corrections->setCustomCorrections(corrections);
    incorrectField_->clear();
    correctField_->clear();
    reloadTable();
    services_.log.print("📝 Added custom correction: '", incorrect, "' -> '", correct, "'");
}

void CorrectionsPage::deleteCustomCorrection(int row) {
    if (row < 0 || row >= static_cast<int>(cache_.size())) return;
    // The name exactly as stored: one written by hand with capitals goes too.
    const std::string name = cache_[static_cast<std::size_t>(row)].first;
    auto corrections = services_.corrections->customCorrections();
    corrections.erase(name);
    services_.corrections->setCustomCorrections(corrections);
    reloadTable();
    services_.log.print("📝 Removed custom correction: '", name, "'");
}

void CorrectionsPage::importCorrections() {
    services_.dialogs.chooseFile(this, PreferencesDialogs::FileRequest::openCorrections,
                                 [page = QPointer<CorrectionsPage>(this)](const QString& path) {
                                     if (page) page->importFileChosen(path);
                                 });
}

void CorrectionsPage::exportCorrections() {
    services_.dialogs.chooseFile(this, PreferencesDialogs::FileRequest::saveCorrections,
                                 [page = QPointer<CorrectionsPage>(this)](const QString& path) {
                                     if (page) page->exportFileChosen(path);
                                 });
}

void CorrectionsPage::importFileChosen(const QString& path) {
    const QString failed = QStringLiteral("Import Failed");
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        alert(failed, QStringLiteral("Error reading file: ") + file.errorString());
        return;
    }
    const QByteArray bytes = file.read(kMaxImportBytes + 1);
    if (bytes.size() > kMaxImportBytes) {
        alert(failed, QStringLiteral("The file is too large to be a corrections file."));
        return;
    }
    auto parsed = parseCorrectionsFile(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
    if (const auto* error = std::get_if<CorrectionsFileError>(&parsed)) {
        alert(failed, QString::fromStdString(error->problem));
        return;
    }
    const auto& corrections = std::get<speech::CorrectionMap>(parsed);
    services_.corrections->setCustomCorrections(corrections);
    reloadTable();
    services_.log.print("📝 Imported ", corrections.size(), " custom corrections from ", path.toStdString());
}

void CorrectionsPage::exportFileChosen(const QString& path) {
    const auto corrections = services_.corrections->customCorrections();
    const std::string text = encodeCorrectionsFile(corrections);
    QSaveFile file(path);  // all or nothing: an old file is never left half overwritten
    if (!file.open(QIODevice::WriteOnly) || file.write(text.data(), static_cast<qint64>(text.size())) < 0 ||
        !file.commit()) {
        alert(QStringLiteral("Export Failed"), QStringLiteral("Error writing file: ") + file.errorString());
        return;
    }
    services_.log.print("📝 Exported ", corrections.size(), " custom corrections to ", path.toStdString());
}

}  // namespace lumeno::ui
