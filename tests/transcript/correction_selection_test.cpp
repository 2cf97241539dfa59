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

TEST(ChipLayoutTest, WrapsInsideTheUsableWidth) {
    // 450 wide: 434 usable. Four chips of 100 end at 426; the fifth wraps to the next row.
    const auto layout = layoutChips({100, 100, 100, 100, 100}, 450, 94);
    ASSERT_EQ(layout.rects.size(), 5u);
    EXPECT_EQ(layout.rects[0], (ChipRect{8, 8, 100, 20}));
    EXPECT_EQ(layout.rects[3], (ChipRect{326, 8, 100, 20}));
    EXPECT_EQ(layout.rects[4], (ChipRect{8, 32, 100, 20}));
    EXPECT_EQ(layout.contentWidth, 450);
    EXPECT_EQ(layout.contentHeight, 94);  // rows fit: the view's own height

    for (const auto& r : layoutChips(std::vector<double>(60, 37), 450, 94).rects) EXPECT_LE(r.x + r.width, 434);
}

TEST(ChipLayoutTest, NarrowViewsKeepTwoHundredUsableAndTallContentScrolls) {
    const auto narrow = layoutChips({150, 60}, 100, 94);
    EXPECT_EQ(narrow.rects[1], (ChipRect{8, 32, 60, 20}));  // 8 + 150 + 6 + 60 > 200
    EXPECT_EQ(narrow.contentWidth, 400);

    const auto tall = layoutChips(std::vector<double>(10, 430), 450, 94);
    EXPECT_EQ(tall.rects[9].y, 8 + 9 * 24);
    EXPECT_EQ(tall.contentHeight, 8 + 9 * 24 + 20 + 8);
}

TEST(SelectionTest, SelectedWordsBecomeTheKeyInLineOrder) {
    const std::vector<std::string> words = {"Jon", "Three", "Sixteen."};
    const struct {
        std::set<int> selected;
        std::optional<std::string> misheard;
    } cases[] = {
        {{0, 2}, "Jon Sixteen"},
        {{0, 1}, "Jon Three"},
        {{2}, "Sixteen"},  // the period the punctuation pass added is not part of the key
        {{}, std::nullopt},
        {{7}, std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(misheardText(words, c.selected), c.misheard);
    EXPECT_EQ(correctionKey("Jon Sixteen"), "jon sixteen");
}

TEST(SelectionTest, PunctuationAddedAtWordEndsIsStripped) {
    const std::vector<std::string> words = {"Well,", "jon.", "...", "—", "3:16?", "God's", "\"quoted\""};
    EXPECT_EQ(misheardText(words, {0, 1}), "Well jon");
    EXPECT_EQ(misheardText(words, {4, 5}), "3:16 God's");
    EXPECT_EQ(misheardText(words, {6}), "\"quoted\"");
    EXPECT_EQ(misheardText(words, {2, 3}), std::nullopt);  // only punctuation: no selection
}

TEST(SelectionTest, CorrectionMustBeNonEmptyAndDifferent) {
    EXPECT_EQ(usableCorrection("genesis", "genesis"), std::nullopt);
    EXPECT_EQ(usableCorrection("genesis", "   \n"), std::nullopt);
    EXPECT_EQ(usableCorrection("genesis", " Genesis "), "Genesis");
}

}  // namespace
