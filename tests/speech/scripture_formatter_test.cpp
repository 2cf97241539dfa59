#include "speech/scripture_formatter.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>

using lumeno::speech::formatScriptureReferences;
using lumeno::speech::parseNumberWords;
using lumeno::speech::scriptureBookName;
using lumeno::speech::scriptureBookNames;

namespace {

struct Case {
    const char* input;
    const char* expected;
};

void expectAll(const std::vector<Case>& cases) {
    for (const Case& c : cases) EXPECT_EQ(formatScriptureReferences(c.input), c.expected) << "input: " << c.input;
}

}  // namespace

TEST(ScriptureFormatterTest, BookMapHasFiftyEightWordsAndItsThreeExceptions) {
    EXPECT_EQ(scriptureBookNames().size(), 58u);
    std::set<std::string> spoken;
    for (const auto& book : scriptureBookNames()) spoken.insert(book.spoken);
    EXPECT_EQ(spoken.size(), 58u) << "duplicate spoken word";

    const std::vector<Case> cases = {
        {"psalms", "Psalm"},         {"psalm", "Psalm"},   {"zachariah", "Zechariah"}, {"revelations", "Revelation"},
        {"  Thessalonians\t", "Thessalonians"},            {"JOHN", "John"},
    };
    for (const Case& c : cases) EXPECT_EQ(scriptureBookName(c.input), c.expected) << c.input;
    EXPECT_EQ(scriptureBookName("hello"), std::nullopt);
    EXPECT_EQ(scriptureBookName("1 john"), std::nullopt);  // numbers are carried separately
}

TEST(ScriptureFormatterTest, OrdinalPrefixesBecomeDigitsForNumberedBooks) {
    expectAll({
        {"first john", "1 John"},
        {"2nd Timothy", "2 Timothy"},
        {"THIRD   john", "3 John"},
        {"first Corinthians 13 4", "1 Corinthians 13:4"},
        {"second samuel", "2 Samuel"},
        {"first genesis", "first genesis"},        // not a numbered book
        {"firstjohn", "firstjohn"},                // whole words only
        {"first john and 3rd kings", "1 John and 3 Kings"},
    });
}

TEST(ScriptureFormatterTest, CommaBetweenChapterAndVerseBecomesColon) {
    expectAll({
        {"John 3,16", "John 3:16"},
        {"1 John 4,8", "1 John 4:8"},
        {"1  John 4,8", "1  John 4:8"},  // the number prefix keeps its spacing
        {"Romans 8,28 and John 3,16", "Romans 8:28 and John 3:16"},
        {"psalms 23,1", "Psalm 23:1"},
        {"Hello 3,16", "Hello 3,16"},
    });
}

TEST(ScriptureFormatterTest, RunTogetherDigitsSplitIntoChapterAndTwoDigitVerse) {
    expectAll({
        {"John 316", "John 3:16"},
        {"Romans 828", "Romans 8:28"},
        {"Psalm 119", "Psalm 1:19"},  // before the psalm stage
        {"Luke 1012", "Luke 10:12"},
        {"John 305", "John 3:05"},
        {"John 399", "John 3:99"},  // the chapter is never validated
        {"John 300", "John 300"},   // verse 00 is refused
        {"John 12345", "John 12345"},
        {"Hello 316", "Hello 316"},
    });
}

TEST(ScriptureFormatterTest, VersePairsJoinedByAndBecomeRanges) {
    expectAll({
        {"John 3:16 and 17", "John 3:16-17"},
        {"John 316 and 17", "John 3:16-17"},  // stage 2, then the pair
        {"Romans 8 28 and 29", "Romans 8:28-29"},
        {"romans 8 28 AND 29", "Romans 8:28-29"},
        {"John 300 and 5", "John 300 and 5"},  // verse 00 refused by both run-together stages
        {"Hello 3:16 and 17", "Hello 3:16 and 17"},
    });
}

TEST(ScriptureFormatterTest, PsalmNumbersOfThreeOrMoreDigits) {
    expectAll({
        {"Psalm 1200", "Psalm 12:00"},  // refused by stage 2, taken by the psalm stage
        {"Psalm 2301", "Psalm 23:01"},
        {"psalms 11900", "Psalm 119:00"},
        {"Psalm 23", "Psalm 23"},
    });
}

TEST(ScriptureFormatterTest, LooseChapterAndVerse) {
    expectAll({
        {"John 3 16", "John 3:16"},
        {"Genesis 1 1", "Genesis 1:1"},
        {"Mark 2 3", "Mark 2:3"},
        {"Hello 3 16", "Hello 3 16"},
        {"Revelations 21 4", "Revelation 21:4"},
        {"Zachariah 4 6", "Zechariah 4:6"},
        {"john 3 16", "John 3:16"},
        {"read John 3 16 today", "read John 3:16 today"},
        {"John\n3 16", "John 3:16"},  // any white space between book and numbers
        {"John\t316", "John 3:16"},
        {"3John 3 16", "3John 3 16"},  // no word boundary before the book
        {"Johns 3 16", "Johns 3 16"},
    });
}

TEST(ScriptureFormatterTest, NumberWordsAfterABook) {
    expectAll({
        {"John three sixteen", "John 3:16"},
        {"1 john three sixteen", "1 John 3:16"},
        {"Psalm twenty-three", "Psalm 23"},
        {"romans eight twenty-eight", "Romans 8:28"},
        {"Acts two", "Acts 2"},
        {"John three", "John 3"},
        {"John said", "John said"},
        {"John Three Sixteen", "John 3:16"},
        {"first john four eight", "1 John 4:8"},
        // Matches are taken left to right two words at a time: the book must start a match.
        {"read John three sixteen", "read John three sixteen"},
        {"and we read John three sixteen", "and we read John 3:16"},
    });
}

TEST(ScriptureFormatterTest, NumberWordNextToAnOrdinaryWordKeepsThatWord) {
    expectAll({
        {"Mark two things", "Mark 2 things"},
        {"John three and", "John 3 and"},
        {"John said three", "John said three"},
        {"Mark my words", "Mark my words"},
    });
}

TEST(ScriptureFormatterTest, TextWithoutReferencesPassesThrough) {
    expectAll({
        {"", ""},
        {"John 3:16", "John 3:16"},
        {"1 John 3:16", "1 John 3:16"},
        {"the café serves 3 16 ounce cups", "the café serves 3 16 ounce cups"},
        {"Jöhn three sixteen", "Jöhn three sixteen"},
        {"日本語 John 3 16 👍", "日本語 John 3:16 👍"},
        {"🙏 John three sixteen 🙏", "🙏 John 3:16 🙏"},
    });
}

TEST(ScriptureFormatterTest, NonAsciiDigitsAreDecimalDigitsToo) {
    // \d is any decimal digit; the verse value is read from the digits' numeric values.
    expectAll({
        {"John ٣١٦", "John ٣:١٦"},
        {"John ٣٠٠", "John ٣٠٠"},
    });
}

TEST(ScriptureFormatterTest, ParseNumberWords) {
    struct NumberCase {
        const char* word;
        std::optional<std::int64_t> expected;
    };
    const std::vector<NumberCase> cases = {
        {"zero", 0},
        {"three", 3},
        {"Nineteen", 19},
        {"ninety", 90},
        {"twenty-one", 21},
        {"twenty one", 21},
        {"twenty-zero", 20},
        {"five hundred", 500},
        {"two thousand", 2000},
        {"one-hundred-five", 105},
        {"one hundred twenty", 120},
        {"twenty-one-hundred", 2100},
        {"316", 316},
        {"+7", 7},
        {"-7", 7},  // the dash separates words, so it never makes a number negative
        {"007", 7},
        {"99999999999999999999", std::nullopt},  // does not fit
        {"", std::nullopt},
        {"-", std::nullopt},
        {"+", std::nullopt},
        {"hundred", std::nullopt},
        {"one two", std::nullopt},
        {"twenty thirty", std::nullopt},
        {"twenty one hundred five", std::nullopt},
        {"one hundred hundred", std::nullopt},
        {"3rd", std::nullopt},
        {"things", std::nullopt},
    };
    for (const NumberCase& c : cases) EXPECT_EQ(parseNumberWords(c.word), c.expected) << "word: " << c.word;
}

TEST(ScriptureFormatterTest, AsciiShortcutsGiveTheSameResultAsTheFullSearch) {
    // Non-ASCII text takes every pattern in full, and a trailing " é" can neither start nor
    // extend a reference, so both forms of each generated text must format alike.
    const std::vector<std::string> vocabulary = {
        "john", "John", "JOHN", "psalm", "Psalms", "romans", "Mark", "first", "1st", "Second", "third", "corinthians",
        "timothy", "1", "2", "3", "16", "316", "1200", "119", "28", "300", "and", "AND", "three", "sixteen",
        "twenty-eight", "one", "hundred", "the", "read", "things", "3,16", "3:16", "8", "\n", "\t", "to"};
    std::mt19937 random(20240611);
    std::uniform_int_distribution<std::size_t> pick(0, vocabulary.size() - 1);
    std::uniform_int_distribution<int> length(1, 9);
    for (int i = 0; i < 3000; ++i) {
        std::string text;
        for (int words = length(random); words > 0; --words) {
            if (!text.empty()) text += ' ';
            text += vocabulary[pick(random)];
        }
        EXPECT_EQ(formatScriptureReferences(text + " é"), formatScriptureReferences(text) + " é") << "text: " << text;
    }
}
