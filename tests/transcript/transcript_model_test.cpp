#include "transcript/transcript_model.h"

#include <gtest/gtest.h>

#include <vector>

#include "fakes/capture_logger.h"

using lumeno::testing::CaptureLogger;
using namespace lumeno::transcript;

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

// Updates in, lines shown out, and whether the last update asks for a redraw.
TEST(TranscriptModelTest, MergesUpdatesIntoLines) {
    const struct {
        const char *updates, *expected;
        bool lastRedraws;
    } cases[] = {
        {"P hello|P hello w", "P hello w", true},
        {"P hello|P helloé", "P helloé", false},  // one more character (not byte) is a minor change
        {"P and now a long sentence here|P ok", "F and now a long sentence here|P ok", true},  // a new utterance
        {"F Hello world.|F Hello world.", "F Hello world.", false},  // an exact duplicate final is skipped
        {"F kept|P going|P ", "F kept", true},  // empty text removes only the trailing partial
        // The session sends a final again when punctuation changed it: one line, the refined text.
        {"F hello world is this on|F Hello world, is this on?", "F Hello world, is this on?", true},
        {"F hello world|P and then|F Hello world.", "F Hello world.|P and then", true},
        {"F amen|F Amen.|F amen|F Amen.", "F Amen.|F Amen.", true},  // a repeat once its predecessor was refined
        {"P Psalms 23 1", "P Psalms 23:1", true},
    };
    for (const auto& c : cases) {
        Fixture f;
        bool redraw = false;
        for (const auto& [text, isFinal] : lines(c.updates)) redraw = f.model.addTranscription(text, isFinal);
        std::vector<std::pair<std::string, bool>> shown;
        for (const auto& e : f.model.entries()) shown.emplace_back(e.text, e.isFinal);
        EXPECT_EQ(shown, lines(c.expected)) << c.updates;
        EXPECT_EQ(redraw, c.lastRedraws) << c.updates;
    }
}

TEST(TranscriptModelTest, TheHundredAndFirstEntryTrimsTheOldest) {
    Fixture f;
    for (int i = 1; i <= 101; ++i) f.model.addTranscription("line " + std::to_string(i), true);
    ASSERT_EQ(f.model.entries().size(), 100u);
    EXPECT_EQ(f.model.entries().front().text, "line 2");
}

TEST(DisplayTextTest, CutsLongLinesAndKeepsEveryEntryOnOneLine) {
    EXPECT_EQ(displayText("one\ntwo\r\nthree\u2028four", 400), "one two  three four");
    EXPECT_EQ(displayText(std::string(10000, 'x'), 400), std::string(400, 'x') + "…");
    EXPECT_EQ(displayText(std::string(400, 'y'), 400), std::string(400, 'y'));
}

}  // namespace
