#include "speech/vocabulary.h"

#include <gtest/gtest.h>

using namespace lumeno::speech;

TEST(VocabularyTest, EntriesAreCheckedAsTheOperatorTypedThem) {
    struct Case {
        std::string text;
        std::string pronunciation;
        std::optional<VocabularyEntry> expected;
        std::string errorPart;
    };
    const std::vector<Case> cases = {
        {"  Pastor Okonkwo \n", "", VocabularyEntry{"Pastor Okonkwo", ""}, ""},
        {"Siobhan", " sh ih1 v  ao n ", VocabularyEntry{"Siobhan", "SH IH V AO N"}, ""},  // stress marks dropped
        {std::string(64, 'a'), "", VocabularyEntry{std::string(64, 'a'), ""}, ""},
        {std::string(32, 'e') + std::string(32, 'x') + "é", "", std::nullopt, "at most 64 characters"},
        {"1234 !", "", std::nullopt, "at least one letter"},
        {"Nkechi", "N K EH CH QX", std::nullopt, "\"QX\", which is not a sound"},
        {"Grace Chapel", "G R EY S", std::nullopt, "single word"},
    };
    for (const Case& c : cases) {
        const VocabularyCheck check = checkVocabularyEntry(c.text, c.pronunciation);
        EXPECT_EQ(check.entry, c.expected) << c.text;
        if (!c.expected) {
            EXPECT_NE(check.error.find(c.errorPart), std::string::npos) << check.error;
        }
    }
}

TEST(VocabularyTest, StoredListRoundTripsAndLeavesOutWhatIsNotAnEntry) {
    const std::vector<VocabularyEntry> entries = {{"Grace Chapel", ""}, {"Siobhan", "SH IH V AO N"}};
    EXPECT_EQ(parseVocabulary(serializeVocabulary(entries)), entries);
    EXPECT_EQ(parseVocabulary(R"(["Grace Chapel", "Grace Chapel", 3, {"text": "42"}, {"x": 1}])"),
              (std::vector<VocabularyEntry>{{"Grace Chapel", ""}}));
    EXPECT_EQ(vocabularySettingError(R"(["Okonkwo"])"), "");
    EXPECT_NE(vocabularySettingError("Okonkwo"), "");
    EXPECT_NE(vocabularySettingError(R"(["Okonkwo", "..."])"), "");
    EXPECT_EQ(vocabularyWords("St. Mary’s-on-Sea 2"), (std::vector<std::string>{"st", "mary's", "on", "sea"}));
}
