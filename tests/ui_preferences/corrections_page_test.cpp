#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
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

TEST_F(CorrectionsPageTest, AddingStoresTheLowercasedNameSoJonAndJONAreOneEntry) {
    add("  Jon ", "John");
    add("JON", "Jonathan");
    EXPECT_EQ(corrections_->customCorrections(), (CorrectionMap{{"jon", "Jonathan"}}));
    EXPECT_EQ(page().correctionsTable()->rowCount(), 1);
    EXPECT_TRUE(page().incorrectField()->text().isEmpty());
}

// A bad file is refused with its problem and changes nothing.
TEST_F(CorrectionsPageTest, ExportedFileImportsBackAndABadOneChangesNothing) {
    const CorrectionMap original = {{"gods word", "God's Word"}, {"café", "Café"}};
    corrections_->setCustomCorrections(original);
    const QString path = folder_.filePath("corrections.json");
    dialogs_.answers = {path};
    page().exportButton()->click();

    corrections_->setCustomCorrections({{"other", "Other"}});
    page().reloadTable();
    dialogs_.answers = {path, writeFile("bad.json", R"({"one": 1, "two": "Two"})"), folder_.filePath("missing.json")};
    page().importButton()->click();
    EXPECT_EQ(corrections_->customCorrections(), original);
    EXPECT_TRUE(dialogs_.alerts.empty());
    for (const QString problem : {"The correction for \"one\" is a number", "Error reading file: "}) {
        dialogs_.alerts.clear();
        page().importButton()->click();
        ASSERT_EQ(dialogs_.alerts.size(), 1u);
        EXPECT_EQ(dialogs_.alerts[0].messageText, "Import Failed");
        EXPECT_TRUE(dialogs_.alerts[0].informativeText.startsWith(problem)) << dialogs_.alerts[0].informativeText.toStdString();
    }
    EXPECT_EQ(corrections_->customCorrections(), original);
    EXPECT_EQ(page().correctionsTable()->rowCount(), 2);
}
