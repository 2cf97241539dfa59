#include "transcript/correction_selection.h"

#include <gtest/gtest.h>

using namespace lumeno::transcript;

namespace {

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

TEST(ClickableLineTest, TheDialogGetsTheLineWithoutItsMarker) {
    EXPECT_EQ(lineForCorrection("  going on ●\n"), "going on");
    EXPECT_EQ(lineForCorrection(" ● "), "");
    EXPECT_EQ(splitWords(" Jon\tThree \n Sixteen  "), (std::vector<std::string>{"Jon", "Three", "Sixteen"}));
}

// Rows wrap inside the usable width (the view's less 16, but at least 200); tall content scrolls.
TEST(ChipLayoutTest, WrapsInsideTheUsableWidth) {
    const auto layout = layoutChips({100, 100, 100, 100, 100}, 450, 94);  // four end at 426 of 434
    EXPECT_EQ(layout.rects, (std::vector<ChipRect>{{8, 8, 100, 20}, {114, 8, 100, 20}, {220, 8, 100, 20}, {326, 8, 100, 20}, {8, 32, 100, 20}}));
    EXPECT_EQ(layout.contentWidth, 450);
    EXPECT_EQ(layout.contentHeight, 94);  // rows fit: the view's own height
    for (const auto& r : layoutChips(std::vector<double>(60, 37), 450, 94).rects) EXPECT_LE(r.x + r.width, 434);

    const auto narrow = layoutChips({150, 60}, 100, 94);
    EXPECT_EQ(narrow.rects[1], (ChipRect{8, 32, 60, 20}));  // 8 + 150 + 6 + 60 > 200
    EXPECT_EQ(narrow.contentWidth, 400);
    const auto tall = layoutChips(std::vector<double>(10, 430), 450, 94);
    EXPECT_EQ(tall.contentHeight, 8 + 9 * 24 + 20 + 8);
}

// The key is the selected words in line order, without the punctuation added at their ends.
TEST(SelectionTest, SelectedWordsBecomeTheKeyInLineOrder) {
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
}

TEST(SelectionTest, CorrectionMustBeNonEmptyAndDifferent) {
    EXPECT_EQ(usableCorrection("genesis", "genesis"), std::nullopt);
    EXPECT_EQ(usableCorrection("genesis", "   \n"), std::nullopt);
    EXPECT_EQ(usableCorrection("genesis", " Genesis "), "Genesis");
}

}  // namespace
