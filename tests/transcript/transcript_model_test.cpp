#include "transcript/transcript_model.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "fakes/capture_logger.h"

using lumeno::testing::CaptureLogger;
using lumeno::transcript::characterCount;
using lumeno::transcript::displayText;
using lumeno::transcript::formatOldTestamentReferences;
using lumeno::transcript::TranscriptModel;

namespace {

// "F text" a final, "P text" a partial; lines of a sequence joined by "|".
std::vector<std::pair<std::string, bool>> lines(std::string_view sequence) {
    std::vector<std::pair<std::string, bool>> out;
    while (!sequence.empty()) {
        const auto end = std::min(sequence.find('|'), sequence.size());
        out.emplace_back(std::string(sequence.substr(2, end - 2)), sequence[0] == 'F');
        sequence.remove_prefix(std::min(end + 1, sequence.size()));
    }
    return out;
}

struct Fixture {
    CaptureLogger log;
    TranscriptModel model{{log, [] { return true; }}};
};

struct SequenceCase {
    const char* name;
    const char* updates;
    const char* expected;
    bool lastRedraws;
};

const SequenceCase kSequences[] = {
    {"OneMoreCharacterIsAMinorChange", "P hello|P hellos", "P hellos", false},
    {"TwoMoreCharactersRedraw", "P hello|P hello w", "P hello w", true},
    {"OneCharacterThatIsNoLongerAPrefixRedraws", "P hello|P hallo!", "P hallo!", true},
    {"CharactersAreCountedNotBytes", "P hello|P helloé", "P helloé", false},  // two bytes, one character
    {"EmojiIsOneCharacter", "P amen|P amen🙏", "P amen🙏", false},
    {"ShortUnrelatedPartialStartsANewUtterance", "P and now a long sentence here|P ok",
     "F and now a long sentence here|P ok", true},
    {"PartialBecomesFinal", "F kept|P going on|F going on now", "F kept|F going on now", true},
    {"ExactDuplicateFinalIsSkipped", "F Hello world.|F Hello world.", "F Hello world.", false},
    {"EmptyTextRemovesOnlyTheTrailingPartial", "F kept|P going|P ", "F kept", true},
    // The session sends a final again when punctuation changed it: one line, the refined text.
    {"RefinedFinalReplacesTheFinalItRefines", "F hello world is this on|F Hello world, is this on?",
     "F Hello world, is this on?", true},
    {"RefinedFinalAfterTheNextPartialKeepsThePartial", "F hello world|P and then|F Hello world.",
     "F Hello world.|P and then", true},
    {"ARepeatedSentenceIsANewLineOnceItsPredecessorWasRefined", "F amen|F Amen.|F amen|F Amen.", "F Amen.|F Amen.",
     true},
    {"NothingButPunctuationIsNoRefinement", "F ...|F !", "F ...|F !", true},
    {"OldTestamentReferencesAreFormatted", "P Psalms 23 1", "P Psalms 23:1", true},
};

class SequenceTest : public ::testing::TestWithParam<SequenceCase> {};

TEST_P(SequenceTest, MergesUpdates) {
    const SequenceCase& c = GetParam();
    Fixture f;
    bool redraw = false;
    for (const auto& [text, isFinal] : lines(c.updates)) redraw = f.model.addTranscription(text, isFinal);
    std::vector<std::pair<std::string, bool>> shown;
    for (const auto& e : f.model.entries()) shown.emplace_back(e.text, e.isFinal);
    EXPECT_EQ(shown, lines(c.expected));
    EXPECT_EQ(redraw, c.lastRedraws);
}

INSTANTIATE_TEST_SUITE_P(Model, SequenceTest, ::testing::ValuesIn(kSequences),
                         [](const ::testing::TestParamInfo<SequenceCase>& param) { return std::string(param.param.name); });

TEST(TranscriptModelTest, TheHundredAndFirstEntryTrimsTheOldest) {
    Fixture f;
    for (int i = 1; i <= 101; ++i) f.model.addTranscription("line " + std::to_string(i), true);
    ASSERT_EQ(f.model.entries().size(), 100u);
    EXPECT_EQ(f.model.entries().front().text, "line 2");
    EXPECT_EQ(f.model.entries().back().text, "line 101");
}

struct TextCase {
    const char* input;
    const char* expected;
};

class OldTestamentTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(OldTestamentTest, Formats) {
    EXPECT_EQ(formatOldTestamentReferences(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    References, OldTestamentTest,
    ::testing::Values(TextCase{"Isaiah 53,5", "Isaiah 53:5"}, TextCase{"Genesis 1 1", "Genesis 1:1"},
                      TextCase{"Genesis 1 and 2", "Genesis 1:2"}, TextCase{"Daniel 3 ,25 and 26", "Daniel 3:25-26"},
                      TextCase{"genesis 1 2 and 3", "genesis 1:2-3"}, TextCase{"exodus 2014", "exodus 20:14"},
                      TextCase{"Isaiah 53,5 AND 6", "Isaiah 53:5-6"}, TextCase{"Psalms 119", "Psalms 1:19"},
                      TextCase{"read zachariah 3 2 now", "read Zechariah 3:2 now"},
                      TextCase{"ZACHARIAH", "Zechariah"},
                      TextCase{"Matthew 5 3", "Matthew 5 3"},
                      // Words are compared one at a time: two-word names never match.
                      TextCase{"1 Samuel 3 4", "1 Samuel 3 4"}, TextCase{"Song of Solomon 2 1", "Song of Solomon 2 1"},
                      TextCase{"Job", "Job"}, TextCase{"Job said", "Job said"},
                      TextCase{"  Genesis  1   1 ", "Genesis 1:1"}, TextCase{"", ""}));

TEST(DisplayTextTest, CutsLongLinesAndKeepsEveryEntryOnOneLine) {
    EXPECT_EQ(displayText("<b>x</b>", 400), "<b>x</b>");
    EXPECT_EQ(displayText("one\ntwo\r\nthree\u2028four", 400), "one two  three four");
    EXPECT_EQ(displayText("\u202Eevil\u202C text", 400), "\u202Eevil\u202C text");
    const std::string huge(10000, 'x');
    const std::string shown = displayText(huge, 400);
    EXPECT_EQ(characterCount(shown), 401u);
    EXPECT_TRUE(shown.ends_with("…"));
    EXPECT_EQ(displayText(std::string(400, 'y'), 400), std::string(400, 'y'));
}

}  // namespace
