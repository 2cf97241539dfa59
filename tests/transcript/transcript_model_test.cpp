#include "transcript/transcript_model.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "fakes/capture_logger.h"

using lumeno::testing::CaptureLogger;
using lumeno::transcript::characterCount;
using lumeno::transcript::displayText;
using lumeno::transcript::formatOldTestamentReferences;
using lumeno::transcript::isRefinementOf;
using lumeno::transcript::TranscriptModel;

namespace {

struct Update {
    const char* text;
    bool isFinal;
};
struct Line {
    std::string text;
    bool isFinal;
    bool operator==(const Line&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Line& line) {
    return out << (line.isFinal ? "FINAL '" : "PARTIAL '") << line.text << "'";
}

struct Fixture {
    CaptureLogger log;
    bool biblical = true;
    TranscriptModel model{{log, [this] { return biblical; }}};

    std::vector<Line> lines() const {
        std::vector<Line> out;
        for (const auto& e : model.entries()) out.push_back({e.text, e.isFinal});
        return out;
    }
};

struct SequenceCase {
    const char* name;
    std::vector<Update> updates;
    std::vector<Line> expected;
    bool lastRedraws;
    const char* logLine = nullptr;  // where the line is the behaviour
};

const SequenceCase kSequences[] = {
    {"FirstPartialIsAdded", {{"hello", false}}, {{"hello", false}}, true, "📝 Added new partial transcription"},
    {"OneMoreCharacterIsAMinorChange",
     {{"hello", false}, {"hellos", false}},
     {{"hellos", false}},
     false,
     "📝 Skipping display update for minor change"},
    {"TwoMoreCharactersRedraw", {{"hello", false}, {"hello w", false}}, {{"hello w", false}}, true},
    {"FiveMoreCharactersRedraw", {{"hello", false}, {"hello world", false}}, {{"hello world", false}}, true},
    {"OneCharacterThatIsNoLongerAPrefixRedraws", {{"hello", false}, {"hallo!", false}}, {{"hallo!", false}}, true},
    // Two bytes but one character: a minor change.
    {"CharactersAreCountedNotBytes", {{"hello", false}, {"helloé", false}}, {{"helloé", false}}, false},
    {"EmojiIsOneCharacter", {{"amen", false}, {"amen🙏", false}}, {{"amen🙏", false}}, false},
    {"ShortUnrelatedPartialStartsANewUtterance",
     {{"and now a long sentence here", false}, {"ok", false}},
     {{"and now a long sentence here", true}, {"ok", false}},
     true,
     "📝 Detected new speech session - converted previous partial to final and added new partial"},
    {"PartialBecomesFinal",
     {{"kept", true}, {"going on", false}, {"going on now", true}},
     {{"kept", true}, {"going on now", true}},
     true,
     "📝 Converted partial to final transcription - previous finals preserved"},
    {"ExactDuplicateFinalIsSkipped",
     {{"Hello world.", true}, {"Hello world.", true}},
     {{"Hello world.", true}},
     false,
     "📝 Skipping duplicate final transcription"},
    {"EmptyTextRemovesOnlyTheTrailingPartial",
     {{"kept", true}, {"going", false}, {"", false}},
     {{"kept", true}},
     true,
     "📝 Removed partial entry due to empty text"},
    {"EmptyTextAfterAFinalKeepsIt", {{"kept", true}, {"", true}}, {{"kept", true}}, true},
    // The session sends a final again when punctuation changed it: one line, the refined text.
    {"RefinedFinalReplacesTheFinalItRefines",
     {{"hello world is this on", true}, {"Hello world, is this on?", true}},
     {{"Hello world, is this on?", true}},
     true,
     "📝 Replaced final transcription with its refined text"},
    {"RefinedFinalAfterTheNextPartialKeepsThePartial",
     {{"hello world", true}, {"and then", false}, {"Hello world.", true}},
     {{"Hello world.", true}, {"and then", false}},
     true},
    {"ARepeatedSentenceIsANewLineOnceItsPredecessorWasRefined",
     {{"amen", true}, {"Amen.", true}, {"amen", true}, {"Amen.", true}},
     {{"Amen.", true}, {"Amen.", true}},
     true},
    {"ADifferentFinalIsANewLine",
     {{"hello world", true}, {"hello there", true}},
     {{"hello world", true}, {"hello there", true}},
     true},
    {"OldTestamentReferencesAreFormatted", {{"Psalms 23 1", false}}, {{"Psalms 23:1", false}}, true,
     "📝 ✨ Scripture reference formatting applied: 'Psalms 23 1' → 'Psalms 23:1'"},
};

class SequenceTest : public ::testing::TestWithParam<SequenceCase> {};

TEST_P(SequenceTest, MergesUpdates) {
    const SequenceCase& c = GetParam();
    Fixture f;
    bool redraw = false;
    for (const auto& u : c.updates) redraw = f.model.addTranscription(u.text, u.isFinal);
    EXPECT_EQ(f.lines(), c.expected);
    EXPECT_EQ(redraw, c.lastRedraws);
    if (c.logLine) {
        EXPECT_TRUE(f.log.contains(c.logLine)) << c.logLine;
    }
}

INSTANTIATE_TEST_SUITE_P(Model, SequenceTest, ::testing::ValuesIn(kSequences),
                         [](const ::testing::TestParamInfo<SequenceCase>& param) { return std::string(param.param.name); });

TEST(TranscriptModelTest, SkippedDuplicateLogsNothingMore) {
    Fixture f;
    f.model.addTranscription("same", true);
    f.log.clear();
    f.model.addTranscription("same", true);
    EXPECT_EQ(f.log.lines().size(), 2u);  // the call line and the skip line
}

TEST(TranscriptModelTest, TheHundredAndFirstEntryTrimsTheOldest) {
    Fixture f;
    for (int i = 1; i <= 101; ++i) f.model.addTranscription("line " + std::to_string(i), true);
    ASSERT_EQ(f.model.entries().size(), 100u);
    EXPECT_EQ(f.model.entries().front().text, "line 2");
    EXPECT_EQ(f.model.entries().back().text, "line 101");
    EXPECT_EQ(f.log.count("📝 Trimmed oldest entry to maintain max entries limit"), 1);
}

TEST(TranscriptModelTest, ReferencesAreLeftAloneWithBiblicalTermsOff) {
    Fixture f;
    f.biblical = false;
    f.model.addTranscription("Psalms 23 1", true);
    EXPECT_EQ(f.model.entries().back().text, "Psalms 23 1");
}

TEST(TranscriptModelTest, EntriesLogLineShowsFiftyCharacters) {
    Fixture f;
    const std::string long60 = std::string(55, 'a') + "ééééé";
    f.model.addTranscription(long60, true);
    EXPECT_TRUE(f.log.contains("📝 All entries: FINAL: '" + std::string(50, 'a') + "...'"));
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

TEST(RefinementTest, EqualOnceCasePunctuationAndSpacingAreIgnored) {
    const struct {
        const char* previous;
        const char* next;
        bool refines;
    } cases[] = {
        {"hello world", "Hello world.", true},
        {"what did paul say", "What did Paul say?", true},
        {"well i think so", "Well, I think so.", true},
        {"hello world", "hello world", false},  // identical: a repeat, not a refinement
        {"hello world", "hello word.", false},
        {"...", "!", false},  // nothing but punctuation is nothing to compare
    };
    for (const auto& c : cases) EXPECT_EQ(isRefinementOf(c.previous, c.next), c.refines) << c.previous << " / " << c.next;
}

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
