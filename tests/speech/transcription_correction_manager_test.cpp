#include "speech/transcription_correction_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <optional>
#include <thread>

#include "speech/correction_rules.h"
#include "speech/icu_text.h"
#include "speech/scripture_formatter.h"
#include "support/correction_fixture.h"

using lumeno::speech::CorrectionMap;
using lumeno::speech::TranscriptionCorrectionManager;
namespace key = lumeno::prefs::key;

namespace {

class CorrectionManagerTest : public ::testing::Test, protected lumeno::testing::CorrectionFixture {
protected:
    // Stores the switches and the custom map as the preferences window would, then builds.
    std::shared_ptr<TranscriptionCorrectionManager> make(bool enabled, std::optional<bool> biblical = std::nullopt,
                                                         const CorrectionMap& custom = {}) {
        store_ = std::make_shared<lumeno::prefs::PreferencesStore>(log_);
        store_->setBool(key::kTranscriptionCorrectionsEnabled, enabled);
        if (biblical) store_->setBool(key::kTranscriptionUseBiblicalTerms, *biblical);
        auto manager = remakeCorrections();
        if (!custom.empty()) {
            EXPECT_TRUE(manager->setCustomCorrections(custom));
        }
        return manager;
    }
};

}  // namespace

// Keys match as whole words by Unicode's word rules, their pattern characters literal; the
// replacement follows the spoken case and the longest key wins.
TEST_F(CorrectionManagerTest, KeysMatchWholeWordsLiterallyAndReplacementsFollowTheSpokenCase) {
    auto manager = make(true, std::nullopt,
                        {{"straße", "Street"}, {"kelvin", "Kelvin scale"},
                         {"faith", "Faithful"},  // over the built-in "Faith"
                         {"Alpha", "beta"},      // stored keys are lower-cased when the map is built
                         {"beta", "gamma"},      // never applied to what "alpha" produced
                         {"a b", "two"}, {"a b c", "three"}, {"a.b", "a-dot-b"}, {"c++", "C++"},
                         {"2", "to"}, {"x|y", "either"}});
    const std::vector<std::pair<const char*, const char*>> cases = {
        {"god bless", "God bless"},
        {"STRASSE", "STREET"},  // shouted: the replacement in capitals
        {"\u212Aelvin", "Kelvin scale"},  // KELVIN SIGN folds to k
        {"FAITH", "FAITHFUL"},
        {"alpha beta", "beta gamma"},
        {"a b c", "three"},
        {"first corinthians thirteen four", "1 Corinthians 13:4"},  // references after the terms
        {"goddess", "goddess"},
        {"godé", "godé"},  // an accented letter continues the word
        {"god’s love", "God’s love"},
        {"god_bless", "god_bless"},
        // A punctuation edge needs no word character next to it.
        {"axb", "axb"},
        {"I like c++ a lot", "I like C++ a lot"},
        {"go 2 church", "go to church"},  // a digit is not a shouted word
        {"x|y", "either"},
    };
    for (const auto& [input, expected] : cases) EXPECT_EQ(manager->applyCorrections(input), expected) << input;
}

TEST_F(CorrectionManagerTest, AReplacementIsNeverMatchedAgainAndOneCaptionStaysACaption) {
    // Each key's replacement holds the next key ten times: rescanning would make 10^5 copies.
    CorrectionMap chain;
    for (int i = 1; i <= 6; ++i) {
        std::string value;
        for (int n = 0; n < 10; ++n) value += (n ? " k" : "k") + std::to_string(i + 1);
        chain["k" + std::to_string(i)] = value;
    }
    auto manager = make(true, false, chain);
    EXPECT_EQ(manager->applyCorrections("k1 and k2"), chain["k1"] + " and " + chain["k2"]);

    // A single key can still multiply a long caption: the result is cut, on a character.
    manager = make(true, false, {{"w", std::string(1000, 'x') + "é"}});
    std::string input;
    for (int i = 0; i < 20; ++i) input += "w ";
    const std::string out = manager->applyCorrections(input);
    EXPECT_LE(out.size(), 2 * input.size() + 4096);
    EXPECT_GT(out.size(), 4000u);
    EXPECT_EQ(lumeno::speech::sanitizeUtf8(out), out) << "never cut inside a character";
}

TEST_F(CorrectionManagerTest, SwitchesDecideTheMapAndIllFormedTextIsRepairedOnEveryPath) {
    struct SwitchCase {
        bool enabled;
        std::optional<bool> biblical;  // nothing: never stored
        CorrectionMap custom;
        const char* input;
        const char* expected;
    };
    const std::vector<SwitchCase> cases = {
        {false, std::nullopt, {{"faith", "Faithful"}}, "john 3 16 faith \xff", "john 3 16 faith \uFFFD"},
        // Blank keys are ignored, and with an empty map references are not formatted either.
        {true, false, {{"", "X"}, {"  ", "Y"}}, "john 3 16 \xc3", "john 3 16 \uFFFD"},
        {true, std::nullopt, {{"gods word", "God's Word"}}, "gods word \xff\xfe god \xc3", "God's Word \uFFFD\uFFFD God \uFFFD"},
    };
    for (const SwitchCase& c : cases) {
        EXPECT_EQ(make(c.enabled, c.biblical, c.custom)->applyCorrections(c.input), c.expected) << c.input;
    }
}

TEST_F(CorrectionManagerTest, CustomCorrectionsAreStoredAsJsonAndUndecodableOnesReadEmpty) {
    auto manager = make(true, false);
    ASSERT_TRUE(manager->setCustomCorrections({{"gods word", "God's Word"}}));
    EXPECT_EQ(store_->dataForKey(key::kTranscriptionCustomCorrections), R"({"gods word":"God's Word"})");
    // Text that is not UTF-8 cannot be encoded: nothing is stored and the map stays.
    EXPECT_FALSE(manager->setCustomCorrections({{"bad\xff", "x"}}));
    EXPECT_EQ(manager->applyCorrections("gods word"), "God's Word");

    // A stored value that does not decode reads as empty and stays in the store.
    for (const std::string& bytes : {std::string("not json"), std::string("{\"a\": 1}"), std::string("{\"a\": \"\xff\"}")}) {
        store_->setData(key::kTranscriptionCustomCorrections, bytes);
        manager->loadCorrections();
        EXPECT_TRUE(manager->correctionMap().empty()) << bytes;
        EXPECT_EQ(store_->dataForKey(key::kTranscriptionCustomCorrections), bytes);
    }
}

TEST_F(CorrectionManagerTest, PassesOnOtherThreadsSeeTheOldOrTheNewMapNeverAMix) {
    const CorrectionMap first = {{"apple", "Orange"}, {"pie", "cake"}};
    const CorrectionMap second = {{"apple", "Pear"}, {"pie", "tart"}};
    auto manager = make(true, false, first);

    // Two passing threads, as the recogniser's thread and the transcript panel share the
    // compiled patterns, while the main thread rebuilds.
    std::atomic<bool> stop{false};
    std::atomic<int> passes{0};
    std::atomic<int> unexpected{0};
    auto pass = [&] {
        while (!stop.load()) {
            const std::string result = manager->applyCorrections("apple pie john 3 16");
            if (result != "Orange cake John 3:16" && result != "Pear tart John 3:16") ++unexpected;
            ++passes;
        }
    };
    std::thread recogniser(pass);
    std::thread panel(pass);
    while (passes.load() == 0) std::this_thread::yield();
    const int before = passes.load();
    for (int i = 0; i < 200 || passes.load() - before < 100; ++i) manager->setCustomCorrections(i % 2 ? first : second);
    stop = true;
    recogniser.join();
    panel.join();
    EXPECT_EQ(unexpected.load(), 0);
}

// The pass runs off main; its completion runs once, on main, and gets the input back when the
// manager went meanwhile.
TEST_F(CorrectionManagerTest, RefinedTextArrivesOnceOnMainAndOrphanedTextUnchanged) {
    auto manager = make(true);
    std::vector<std::string> results;
    std::vector<std::thread::id> ranOn;
    manager->refinePunctuation("  what time is it \n", [&](std::string refined) {
        results.push_back(refined);
        ranOn.push_back(std::this_thread::get_id());
    });
    ASSERT_TRUE(queue_.runUntil([&] { return results.size() == 1; }));
    EXPECT_EQ(results.back(), "What time is it?");
    EXPECT_EQ(ranOn.back(), std::this_thread::get_id());

    std::promise<void> hold;
    background_.submit([gate = hold.get_future().share()] { gate.wait(); });
    manager->refinePunctuation(" what time is it", [&](std::string text) { results.push_back(text); });
    manager.reset();
    corrections_.reset();
    hold.set_value();
    ASSERT_TRUE(queue_.runUntil([&] { return results.size() == 2; }));
    queue_.runUntilIdle();
    EXPECT_EQ(results, (std::vector<std::string>{"What time is it?", " what time is it"}));
}
