#include "transcript/correction_selection.h"

#include <gtest/gtest.h>

using namespace lumeno::transcript;

TEST(ClickableLineTest, StatusLinesMarkersAndShortLinesAreNotClickable) {
    const struct {
        const char* line;
        bool clickable;
    } cases[] = {
        {"Waiting for speech...", false}, {"  Listening...\n", false}, {"●", false}, {"● Listening", false},
        {"ab", false}, {"  ab  ", false}, {"", false}, {"éé", false},
        {"abc", true}, {"going on ●", true}, {"Jon Three Sixteen", true},
    };
    for (const auto& c : cases) EXPECT_EQ(isClickableLine(c.line), c.clickable) << "'" << c.line << "'";
}

// The key is the selected words in line order, without the punctuation added at their ends; a
// correction must be new text, not blank.
TEST(SelectionTest, SelectedWordsBecomeTheKeyInLineOrderAndTheCorrectionMustDiffer) {
    const std::vector<std::string> words = {"Jon", "Three", "Sixteen.", "Well,", "...", "—", "3:16?", "God's", "\"quoted\""};
    const struct {
        std::set<int> selected;
        std::optional<std::string> misheard;
    } cases[] = {
        {{2, 0}, "Jon Sixteen"}, {{3, 6, 7}, "Well 3:16 God's"}, {{8}, "\"quoted\""},
        {{4, 5}, std::nullopt},  // only punctuation: no selection
        {{}, std::nullopt},      {{70}, std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(misheardText(words, c.selected), c.misheard);
    EXPECT_EQ(correctionKey("Jon Sixteen"), "jon sixteen");
    EXPECT_EQ(usableCorrection("genesis", "genesis"), std::nullopt);
    EXPECT_EQ(usableCorrection("genesis", "   \n"), std::nullopt);
    EXPECT_EQ(usableCorrection("genesis", " Genesis "), "Genesis");
}
