#include "speech/punctuation.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using lumeno::speech::refineSentence;

TEST(PunctuationTest, RefineSentenceAppliesTheRulesInOrder) {
    struct Case {
        const char* input;
        const char* expected;
    };
    const std::vector<Case> cases = {
        // Question cues anywhere, unless a mark already closes the sentence.
        {"I know where he lives", "I know where he lives?"},
        {"we have arrived", "We have arrived?"},  // an auxiliary and a word
        {"he was", "He was."},                    // an auxiliary needs a following word
        {"sounds correct", "Sounds correct?"},    // a confirming word at the end
        {"somewhat", "Somewhat."},                // whole words only
        {"this is fine.", "This is fine."},
        {"amen!", "Amen!"},
        // Commas after discourse words and before conjunctions, after the question mark was added.
        {"however we should wait", "However, we should wait?"},
        {"yes I agree", "Yes, I agree."},
        {"this is the first step", "This is the first, step?"},
        {"we sang loudly and then everyone prayed together", "We sang loudly, and then, everyone prayed together."},
        {"rice and beans daily", "Rice, and beans daily."},  // a conjunction comma needs 20 characters from its match on
        {"rice and beans each", "Rice and beans each."},
        // Sentence breaks.
        {"today we will study grace", "Today. We will study grace?"},
        {"in conclusion love wins", "In conclusion. Love wins."},
        // Capitals after closing marks, in the full upper-case form.
        {"hello. world? yes! ok", "Hello. World? Yes! Ok."},
        {"ßtraße. über", "SStraße. Über."},
        {"e\u0301cole", "E\u0301cole."},  // a decomposed first character stays whole
        {"hello.world", "Hello.world."},  // no space after the period
        {"🙂 smile. 🙂 again", "🙂 smile. 🙂 again."},
        {"don't worry", "Don't worry."},
        {"γεια σου 🙏", "Γεια σου 🙏."},
        // Blank text.
        {"  \n we love the lord \t\n", "We love the lord."},
        {"", ""},
        {"   \t\n\r\n", ""},
        {"\u00a0\u2028", ""},
        // A long sentence without punctuation of its own is split at its conjunctions.
        {"we walked to the old market early that morning and we bought fresh bread because we felt hungry",
         "We walked to the old market early that morning, we bought fresh bread, we felt hungry."},
        // 80 characters exactly is not long: only the closing period is added.
        {"we walked to the old market early that morning and we bought the bread we wanted",
         "We walked to the old market early that morning and we bought the bread we wanted."},
        {"we walked to the old market early that morning, and we bought fresh bread because we felt hungry",
         "We walked to the old market early that morning, and we bought fresh bread because we felt hungry."},
        // The threshold counts what a reader sees: each flag emoji is one character, not four units.
        {"🇬🇧🇬🇧🇬🇧🇬🇧🇬🇧🇬🇧🇬🇧🇬🇧🇬🇧🇬🇧 we walked to the market early that morning and we bought bread",
         "🇬🇧🇬🇧🇬🇧🇬🇧🇬🇧🇬🇧🇬🇧🇬🇧🇬🇧🇬🇧 we walked to the market early that morning and we bought bread."},
    };
    for (const Case& c : cases) EXPECT_EQ(refineSentence(c.input), c.expected) << "input: " << c.input;
}
