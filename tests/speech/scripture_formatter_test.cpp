#include "speech/scripture_formatter.h"

#include <gtest/gtest.h>

#include <string>

using lumeno::speech::formatScriptureReferences;
using lumeno::speech::parseNumberWords;

TEST(ScriptureFormatterTest, EachStageRewritesItsFormOfReference) {
    struct Case {
        const char* input;
        const char* expected;
    };
    const std::vector<Case> cases = {
        // Ordinal prefixes of numbered books.
        {"2nd Timothy", "2 Timothy"},
        {"first Corinthians 13 4", "1 Corinthians 13:4"},
        {"firstjohn", "firstjohn"},          // whole words only
        // A comma between chapter and verse.
        {"Romans 8,28 and John 3,16", "Romans 8:28 and John 3:16"},
        {"psalms 23,1", "Psalm 23:1"},
        // Run-together digits: chapter and a two-digit verse.
        {"John 316", "John 3:16"},
        {"Psalm 119", "Psalm 1:19"},  // before the psalm stage
        {"John 300", "John 300"},     // verse 00 is refused
        // Verse pairs joined by "and" become ranges.
        {"John 3:16 and 17", "John 3:16-17"},
        {"romans 8 28 AND 29", "Romans 8:28-29"},
        {"John 300 and 5", "John 300 and 5"},  // verse 00 refused by both run-together stages
        // Psalm numbers of three or more digits.
        {"Psalm 1200", "Psalm 12:00"},  // refused by the run-together stage, taken by the psalm stage
        {"Psalm 23", "Psalm 23"},
        // Loose chapter and verse.
        {"read john 3 16 today", "read John 3:16 today"},
        {"Revelations 21 4", "Revelation 21:4"},
        {"3John 3 16", "3John 3 16"},  // no word boundary before the book
        {"Hello 3 16", "Hello 3 16"},
        // Number words after a book.
        {"first john four eight", "1 John 4:8"},
        {"romans eight twenty-eight", "Romans 8:28"},
        // A book followed by a number and an ordinary word keeps that word; a non-number, nothing.
        {"Mark two things", "Mark 2 things"},
        {"Mark my words", "Mark my words"},
        // Spoken references of any length, started only by a book word.
        {"psalm one hundred nineteen one hundred five", "Psalm 119:105"},
        {"john chapter three verse sixteen says", "John 3:16 says"},
        {"romans eight twenty eight and twenty nine", "Romans 8:28-29"},
        {"john three sixteen and romans eight twenty eight", "John 3:16 and Romans 8:28"},
        // Text without references, and text in other scripts.
        {"1 John 3:16", "1 John 3:16"},
        {"the café serves 3 16 ounce cups", "the café serves 3 16 ounce cups"},
        {"日本語 John 3 16 👍", "日本語 John 3:16 👍"},
        // \d is any decimal digit; the verse is read from the digits' numeric values.
        {"John ٣١٦", "John ٣:١٦"},
    };
    for (const Case& c : cases) EXPECT_EQ(formatScriptureReferences(c.input), c.expected) << "input: " << c.input;
}

TEST(ScriptureFormatterTest, ParseNumberWords) {
    struct NumberCase {
        const char* word;
        std::optional<std::int64_t> expected;
    };
    const std::vector<NumberCase> cases = {
        {"zero", 0}, {"Nineteen", 19}, {"ninety", 90}, {"twenty-one", 21}, {"twenty one", 21}, {"twenty-zero", 20},
        {"five hundred", 500}, {"two thousand", 2000}, {"one-hundred-five", 105}, {"one hundred twenty", 120},
        {"+7", 7}, {"-7", 7},  // the dash separates words, so it never makes a number negative
        {"99999999999999999999", std::nullopt},  // does not fit
        {"", std::nullopt}, {"+", std::nullopt}, {"hundred", std::nullopt}, {"one two", std::nullopt},
        {"twenty thirty", std::nullopt}, {"twenty one hundred five", std::nullopt},
        {"one hundred hundred", std::nullopt}, {"3rd", std::nullopt},
    };
    for (const NumberCase& c : cases) EXPECT_EQ(parseNumberWords(c.word), c.expected) << "word: " << c.word;
}
