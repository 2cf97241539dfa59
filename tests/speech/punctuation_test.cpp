#include "speech/punctuation.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using lumeno::speech::capitalizeSentences;
using lumeno::speech::detectQuestion;
using lumeno::speech::refineSentence;

namespace {

struct Case {
    const char* input;
    const char* expected;
};

}  // namespace

TEST(PunctuationTest, RefineSentenceAppliesTheRulesInOrder) {
    const std::vector<Case> cases = {
        {"what time is it", "What time is it?"},
        {"the meeting is at noon.", "The meeting is at noon."},
        // The comma comes after the question mark was added for "should wait".
        {"however we should wait", "However, we should wait?"},
        {"yes I agree", "Yes, I agree."},
        {"this is the first step", "This is the first, step?"},
        {"today we study grace", "Today. We study grace."},
        {"today we will study grace", "Today. We will study grace?"},
        {"in conclusion love wins", "In conclusion. Love wins."},
        {"that is right", "That is right?"},
        {"we love the lord", "We love the lord."},
        {"  \n we love the lord \t\n", "We love the lord."},
        {"amen!", "Amen!"},
        {"we sang loudly and then everyone prayed together", "We sang loudly, and then, everyone prayed together."},
        {"rice and beans daily", "Rice, and beans daily."},  // a conjunction comma needs 20 characters from its match on
        {"rice and beans each", "Rice and beans each."},
        {"don't worry", "Don't worry."},
        {"γεια σου 🙏", "Γεια σου 🙏."},
    };
    for (const Case& c : cases) EXPECT_EQ(refineSentence(c.input), c.expected) << "input: " << c.input;
}

TEST(PunctuationTest, BlankTextRefinesToEmpty) {
    for (const char* blank : {"", " ", "   \t", "\n\r\n", "\u00a0\u2028"})
        EXPECT_EQ(refineSentence(blank), "") << "input: '" << blank << "'";
}

TEST(PunctuationTest, LongRunOnSentenceIsSplitAtItsConjunctions) {
    const std::vector<Case> cases = {
        {"we walked to the old market early that morning and we bought fresh bread because we felt hungry",
         "We walked to the old market early that morning, we bought fresh bread, we felt hungry."},
        // 80 characters exactly is not long: only the closing period is added.
        {"we walked to the old market early that morning and we bought the bread we wanted",
         "We walked to the old market early that morning and we bought the bread we wanted."},
        // A sentence with a comma of its own is left as it is.
        {"we walked to the old market early that morning, and we bought fresh bread because we felt hungry",
         "We walked to the old market early that morning, and we bought fresh bread because we felt hungry."},
        // The threshold counts what a reader sees: each flag emoji is one character, not four units.
        {"🇬🇧🇬🇧🇬🇧🇬🇧🇬🇧🇬🇧🇬🇧🇬🇧🇬🇧🇬🇧 we walked to the market early that morning and we bought bread",
         "🇬🇧🇬🇧🇬🇧🇬🇧🇬🇧🇬🇧🇬🇧🇬🇧🇬🇧🇬🇧 we walked to the market early that morning and we bought bread."},
    };
    for (const Case& c : cases) EXPECT_EQ(refineSentence(c.input), c.expected) << "input: " << c.input;
}

TEST(PunctuationTest, DetectQuestionLooksForCuesAnywhereUnlessAMarkCloses) {
    const std::vector<Case> cases = {
        {"who is there", "who is there?"},
        {"I know where he lives", "I know where he lives?"},  // a question word anywhere
        {"we have arrived", "we have arrived?"},               // an auxiliary and a word anywhere
        {"that is correct", "that is correct?"},
        {"he was", "he was"},  // an auxiliary needs a following word
        {"this is fine.", "this is fine."},
        {"really!", "really!"},
        {"somewhat", "somewhat"},  // whole words only
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(detectQuestion(c.input), c.expected) << "input: " << c.input;
}

TEST(PunctuationTest, CapitalizeSentencesUpperCasesAfterClosingMarks) {
    const std::vector<Case> cases = {
        {"hello. world? yes! ok", "Hello. World? Yes! Ok"},
        {"élan. ça va", "Élan. Ça va"},
        {"ßtraße. über", "SStraße. Über"},  // the full upper-case form, even when longer
        {"e\u0301cole", "E\u0301cole"},     // a decomposed first character stays whole
        {"hello.world", "Hello.world"},     // no space after the period
        {"🙂 smile. 🙂 again", "🙂 smile. 🙂 again"},
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(capitalizeSentences(c.input), c.expected) << "input: " << c.input;
}
