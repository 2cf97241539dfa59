#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>

#include "preferences_harness.h"
#include "ui/preferences/corrections_page.h"

using namespace lumeno;
using speech::CorrectionMap;
namespace key = prefs::key;

namespace {

class CorrectionsPageTest : public lumeno::testing::PreferencesTest {
protected:
    ui::CorrectionsPage& page() { return window_ ? window_->corrections() : makeWindow().corrections(); }
    void add(const QString& incorrect, const QString& correct) {
        page().incorrectField()->setText(incorrect);
        page().correctField()->setText(correct);
        page().addButton()->click();
    }
    void removeRow(int row) {
        auto* button = qobject_cast<QPushButton*>(page().correctionsTable()->cellWidget(row, 2));
        ASSERT_TRUE(button);
        button->click();
    }
    QString cell(int row, int column) {
        auto* label = qobject_cast<QLabel*>(page().correctionsTable()->cellWidget(row, column));
        return label ? label->text() : QString();
    }
};

}  // namespace

TEST_F(CorrectionsPageTest, SwitchesShowTheStoredStateAndRebuildTheEngine) {
    EXPECT_FALSE(page().correctionsCheckbox()->isChecked());
    EXPECT_TRUE(page().biblicalCheckbox()->isChecked());  // on when never set
    page().correctionsCheckbox()->click();
    EXPECT_TRUE(store_->boolForKey(key::kTranscriptionCorrectionsEnabled));
    EXPECT_EQ(corrections_->applyCorrections("god bless"), "God bless");
    page().biblicalCheckbox()->click();
    EXPECT_TRUE(store_->hasKey(key::kTranscriptionUseBiblicalTerms));
    EXPECT_EQ(corrections_->applyCorrections("god bless"), "god bless");
}

TEST_F(CorrectionsPageTest, AddingStoresTheLowercasedNameSoJonAndJONAreOneEntryAndEmptyFieldsAreRefused) {
    add("  Jon ", "John");
    add("JON", "Jonathan");
    EXPECT_EQ(corrections_->customCorrections(), (CorrectionMap{{"jon", "Jonathan"}}));
    EXPECT_EQ(page().correctionsTable()->rowCount(), 1);
    EXPECT_EQ(cell(0, 0) + " " + cell(0, 1), "jon Jonathan");
    EXPECT_TRUE(page().incorrectField()->text().isEmpty());

    add("", "John");
    add("jon", " \n ");
    EXPECT_EQ(dialogs_.alerts, (std::vector<ui::PreferencesAlert>(
                                   2, {ui::AlertStyle::warning, "Invalid Input", "Both fields must be filled in."})));
    EXPECT_EQ(corrections_->customCorrections().size(), 1u);
}

// A name written by hand with capitals is removed as stored, and adding its lower-case form
// replaces it instead of leaving two entries that compete.
TEST_F(CorrectionsPageTest, HandWrittenNameWithCapitalsCanBeRemovedOrReplaced) {
    corrections_->setCustomCorrections({{"Pastor Jon", "Pastor John"}, {"amen", "Amen"}, {"Gods Word", "God's Word"}});
    ASSERT_EQ(page().correctionsTable()->rowCount(), 3);
    ASSERT_EQ(cell(0, 0), "Gods Word");
    removeRow(0);
    EXPECT_EQ(corrections_->customCorrections(), (CorrectionMap{{"Pastor Jon", "Pastor John"}, {"amen", "Amen"}}));
    add("pastor jon", "Pastor Jonathan");
    EXPECT_EQ(corrections_->customCorrections(), (CorrectionMap{{"amen", "Amen"}, {"pastor jon", "Pastor Jonathan"}}));
    page().deleteCustomCorrection(7);  // a row that is not there
    EXPECT_EQ(corrections_->customCorrections().size(), 2u);
}

TEST_F(CorrectionsPageTest, ExportedFileImportsBackAndReplacesTheCorrections) {
    const CorrectionMap original = {{"gods word", "God's Word"}, {"café", "Café"}};
    corrections_->setCustomCorrections(original);
    const QString path = folder_.filePath("corrections.json");
    dialogs_.answers = {path};
    page().exportButton()->click();
    EXPECT_EQ(dialogs_.requests.back(), ui::PreferencesDialogs::FileRequest::saveCorrections);

    corrections_->setCustomCorrections({{"other", "Other"}});
    page().reloadTable();
    dialogs_.answers = {path};
    page().importButton()->click();
    EXPECT_EQ(corrections_->customCorrections(), original);
    EXPECT_EQ(page().correctionsTable()->rowCount(), 2);
    EXPECT_TRUE(dialogs_.alerts.empty());
}

TEST_F(CorrectionsPageTest, BadImportIsRefusedWithItsProblemAndChangesNothing) {
    corrections_->setCustomCorrections({{"amen", "Amen"}});
    const QString problems[] = {"The correction for \"one\" is a number", "Error reading file: "};
    dialogs_.answers = {writeFile("bad.json", R"({"one": 1, "two": "Two"})"), folder_.filePath("missing.json")};
    for (const QString& problem : problems) {
        dialogs_.alerts.clear();
        page().importButton()->click();
        ASSERT_EQ(dialogs_.alerts.size(), 1u);
        EXPECT_EQ(dialogs_.alerts[0].messageText, "Import Failed");
        EXPECT_TRUE(dialogs_.alerts[0].informativeText.startsWith(problem)) << dialogs_.alerts[0].informativeText.toStdString();
    }
    EXPECT_EQ(corrections_->customCorrections(), (CorrectionMap{{"amen", "Amen"}}));
    EXPECT_EQ(page().correctionsTable()->rowCount(), 1);
}

// The vocabulary list: an entry is added with its optional pronunciation and removed again; a
// bad one gets its reason in an alert and nothing is stored.
TEST_F(CorrectionsPageTest, VocabularyEntriesAreAddedRemovedAndBadOnesRefusedWithTheirReason) {
    page().vocabularyField()->setText(" Siobhan ");
    page().pronunciationField()->setText("sh ih v ao n");
    page().addVocabularyButton()->click();
    EXPECT_EQ(page().vocabularyList()->count(), 1);
    EXPECT_EQ(page().vocabularyList()->item(0)->text(), "Siobhan  [SH IH V AO N]");
    EXPECT_TRUE(page().vocabularyField()->text().isEmpty());
    const auto stored = store_->stringForKey(key::kSpeechVocabulary);

    page().vocabularyField()->setText("Nkechi");
    page().pronunciationField()->setText("N K EH CH QX");
    page().addVocabularyButton()->click();
    ASSERT_EQ(dialogs_.alerts.size(), 1u);
    EXPECT_EQ(dialogs_.alerts[0].messageText, "Invalid Vocabulary Entry");
    EXPECT_TRUE(dialogs_.alerts[0].informativeText.contains("\"QX\""));
    EXPECT_EQ(store_->stringForKey(key::kSpeechVocabulary), stored);
    EXPECT_EQ(page().vocabularyField()->text(), "Nkechi");  // kept for the operator to fix

    page().removeVocabularyEntry(0);
    EXPECT_EQ(page().vocabularyList()->count(), 0);
    EXPECT_FALSE(store_->hasKey(key::kSpeechVocabulary));
}
