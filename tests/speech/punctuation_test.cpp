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
        // A question opens with a question word that asks or an auxiliary before its subject
        // (after an optional lead word), or closes with a tag; a mark already there stays.
        {"what time is it", "What time is it?"},
        {"so why do we pray", "So why do we pray?"},
        {"do you know what grace means", "Do you know what grace means?"},
        {"we all fall short right", "We all fall short right?"},
        {"is this fine.", "Is this fine."},
        // Statements that merely contain those words.
        {"when we pray we are heard", "When we pray we are heard."},
        {"do this in remembrance of me", "Do this in remembrance of me."},
        {"may the lord bless you", "May the lord bless you."},
        {"that is right", "That is right."},
        // Commas after opening discourse words and ordinals, never inside a sentence.
        {"however we should wait", "However, we should wait."},
        {"well what does the text say", "Well, what does the text say?"},
        {"first we pray and then we sing", "First, we pray and then we sing."},
        // A comma before "but" once 20 characters follow; nouns joined by "and" keep none.
        {"we wanted to stay but everyone else went home", "We wanted to stay, but everyone else went home."},
        {"faith and hope and love remain", "Faith and hope and love remain."},
        // Time words: an opening one is followed by a comma; a later one ends a sentence when a
        // new subject follows it, unless it belongs to an opening phrase.
        {"today we will study grace", "Today, we will study grace."},
        {"I saw him yesterday we talked", "I saw him yesterday. We talked."},
        {"we meet on sunday we pray", "We meet on sunday. We pray."},
        {"on sunday we gather", "On sunday we gather."},
        // Capitals after closing marks, in the full upper-case form.
        {"hello. world? yes! ok", "Hello. World? Yes! Ok."},
        {"ßtraße. über", "SStraße. Über."},
        {"e\u0301cole", "E\u0301cole."},  // a decomposed first character stays whole
        // Blank text.
        {"  \n we love the lord \t\n", "We love the lord."},
        {"", ""},
        {"\u00a0\u2028", ""},
        // A long sentence without punctuation gets commas before its conjunctions, which stay.
        {"we walked to the old market early that morning and we bought fresh bread because we felt hungry",
         "We walked to the old market early that morning, and we bought fresh bread, because we felt hungry."},
        // 80 characters exactly is not long: only the closing period is added.
        {"we walked to the old market early that morning and we bought the bread we wanted",
         "We walked to the old market early that morning and we bought the bread we wanted."},
        // The threshold counts what a reader sees: each flag emoji is one character, not four units.
        {"🇬🇧🇬🇧🇬🇧🇬🇧🇬🇧🇬🇧🇬🇧🇬🇧🇬🇧🇬🇧 we walked to the market early that morning and we bought bread",
         "🇬🇧🇬🇧🇬🇧🇬🇧🇬🇧🇬🇧🇬🇧🇬🇧🇬🇧🇬🇧 we walked to the market early that morning and we bought bread."},
    };
    for (const Case& c : cases) EXPECT_EQ(refineSentence(c.input), c.expected) << "input: " << c.input;
}
