#pragma once

#include <string>
#include <utility>
#include <vector>

#include "ui/preferences/preferences_page.h"

class QCheckBox;
class QLineEdit;
class QListWidget;
class QPushButton;
class QTableWidget;

namespace lumeno::ui {

// The correction switches and the operator's own corrections: a table with a remove button per
// row, an add row, and import and export of the JSON file lumeno-text reads. Below, the
// operator's vocabulary: names and words the recogniser should know, each with an optional
// pronunciation.
class CorrectionsPage final : public PreferencesPage {
public:
    explicit CorrectionsPage(PreferencesServices services);

    QString identifier() const override { return QStringLiteral("corrections"); }
    QString title() const override { return QStringLiteral("Text Corrections"); }
    void load() override;

    void correctionsEnabledChanged();
    void biblicalTermsChanged();
    void addCustomCorrection();
    void deleteCustomCorrection(int row);
    void importCorrections();
    void exportCorrections();
    void importFileChosen(const QString& path);
    void exportFileChosen(const QString& path);
    void reloadTable();
    void addVocabularyEntry();
    void removeVocabularyEntry(int row);
    void reloadVocabulary();

    QCheckBox* correctionsCheckbox() const { return correctionsCheckbox_; }
    QCheckBox* biblicalCheckbox() const { return biblicalCheckbox_; }
    QTableWidget* correctionsTable() const { return table_; }
    QLineEdit* incorrectField() const { return incorrectField_; }
    QLineEdit* correctField() const { return correctField_; }
    QPushButton* addButton() const { return addButton_; }
    QPushButton* importButton() const { return importButton_; }
    QPushButton* exportButton() const { return exportButton_; }
    QListWidget* vocabularyList() const { return vocabularyList_; }
    QLineEdit* vocabularyField() const { return vocabularyField_; }
    QLineEdit* pronunciationField() const { return pronunciationField_; }
    QPushButton* addVocabularyButton() const { return addVocabularyButton_; }
    // The rows of the table: stored name, replacement.
    const std::vector<std::pair<std::string, std::string>>& customCorrectionsCache() const { return cache_; }

private:
    QCheckBox* correctionsCheckbox_;
    QCheckBox* biblicalCheckbox_;
    QTableWidget* table_;
    QLineEdit* incorrectField_;
    QLineEdit* correctField_;
    QPushButton* addButton_;
    QPushButton* importButton_;
    QPushButton* exportButton_;
    QListWidget* vocabularyList_;
    QLineEdit* vocabularyField_;
    QLineEdit* pronunciationField_;
    QPushButton* addVocabularyButton_;
    QPushButton* removeVocabularyButton_;
    std::vector<std::pair<std::string, std::string>> cache_;
};

}  // namespace lumeno::ui
