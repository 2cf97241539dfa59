#include "speech/transcription_correction_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <optional>
#include <random>
#include <thread>

#include "speech/correction_rules.h"
#include "speech/icu_text.h"
#include "speech/scripture_formatter.h"
#include "support/correction_fixture.h"

using lumeno::speech::AppliedCorrection;
using lumeno::speech::CorrectionMap;
using lumeno::speech::formatScriptureReferences;
using lumeno::speech::TranscriptionCorrectionManager;
namespace key = lumeno::prefs::key;

namespace {

struct Case {
    const char* input;
    const char* expected;
};

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

    static void expectAll(const TranscriptionCorrectionManager& manager, const std::vector<Case>& cases) {
        for (const Case& c : cases) EXPECT_EQ(manager.applyCorrections(c.input), c.expected) << "input: " << c.input;
    }
};

}  // namespace

TEST_F(CorrectionManagerTest, ReplacementsFollowTheSpokenCaseAndTheLongestKeyFirst) {
    auto manager = make(true, std::nullopt,
                        {{"straße", "Street"}, {"kelvin", "Kelvin scale"},
                         {"faith", "Faithful"},  // over the built-in "Faith"
                         {"Alpha", "beta"},      // stored keys are lower-cased when the map is built
                         {"beta", "gamma"},      // never applied to what "alpha" produced
                         {"a b", "two"}, {"a b c", "three"}});
    expectAll(*manager, {
        {"god bless", "God bless"},
        {"GOD", "GOD"},  // shouted: the replacement in capitals
        {"a good job", "a good Job"},  // no context rules
        {"STRASSE", "STREET"},
        {"\u212Aelvin", "Kelvin scale"},  // KELVIN SIGN folds to k
        {"FAITH", "FAITHFUL"},
        {"alpha beta", "beta gamma"},
        {"a b c", "three"},
        {"first corinthians thirteen four", "1 Corinthians 13:4"},  // references after the terms
    });
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

TEST_F(CorrectionManagerTest, KeysMatchThemselvesAsWholeWordsByUnicodeWordRules) {
    auto manager = make(true, std::nullopt,
                        {{"a.b", "a-dot-b"}, {"c++", "C++"}, {"$5", "five dollars"}, {"2", "to"}, {"\\d", "digit"},
                         {"x|y", "either"}});
    expectAll(*manager, {
        {"goddess", "goddess"},
        {"café god", "café God"},
        {"godé", "godé"},  // an accented letter continues the word
        {"日本god", "日本god"},  // ideographs are letters too
        {"god’s love", "God’s love"},
        {"🙏god🙏", "🙏God🙏"},
        {"god_bless", "god_bless"},
        // Pattern characters in keys are literal; a punctuation edge needs no word character next to it.
        {"axb", "axb"},
        {"I like c++ a lot", "I like C++ a lot"},
        {"c++x", "c++x"},
        {"costs $5 today", "costs five dollars today"},
        {"go 2 church", "go to church"},  // a digit is not a shouted word
        {"a \\d b and 5", "a digit b and 5"},
        {"x|y", "either"},
    });
}

TEST_F(CorrectionManagerTest, SwitchesDecideTheMapAndIllFormedTextIsRepairedOnEveryPath) {
    struct SwitchCase {
        bool enabled;
        std::optional<bool> biblical;  // nothing: never stored
        CorrectionMap custom;
        std::size_t mapSize;
        const char* input;
        const char* expected;
    };
    const std::vector<SwitchCase> cases = {
        {false, std::nullopt, {{"faith", "Faithful"}}, 0, "john 3 16 faith \xff", "john 3 16 faith \uFFFD"},
        // Blank keys are ignored, and with an empty map references are not formatted either.
        {true, false, {{"", "X"}, {"  ", "Y"}}, 0, "john 3 16 \xc3", "john 3 16 \uFFFD"},
        {true, std::nullopt, {}, 96, "god \xff\xfe bless \xc3", "God \uFFFD\uFFFD bless \uFFFD"},
        {true, std::nullopt, {{"gods word", "God's Word"}}, 97, "gods word", "God's Word"},
    };
    for (const SwitchCase& c : cases) {
        auto manager = make(c.enabled, c.biblical, c.custom);
        EXPECT_EQ(manager->correctionMap().size(), c.mapSize) << c.input;
        EXPECT_EQ(manager->applyCorrections(c.input), c.expected);
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
    for (const std::string& bytes : {std::string("not json"), std::string("[\"a\"]"), std::string("{\"a\": 1}"),
                                    std::string("{\"a\": \"\xff\"}")}) {
        store_->setData(key::kTranscriptionCustomCorrections, bytes);
        manager->loadCorrections();
        EXPECT_TRUE(manager->correctionMap().empty()) << bytes;
        EXPECT_EQ(store_->dataForKey(key::kTranscriptionCustomCorrections), bytes);
    }
}

TEST_F(CorrectionManagerTest, AsciiShortcutsGiveTheSameResultsAsTheFullSearch) {
    // On ASCII text the compiled rules skip keys that do not occur and the formatter skips stages
    // that cannot change the text. Compiling every pattern on every pass runs every rule, and a
    // trailing " é", which can neither start nor extend a reference, runs every stage.
    auto manager = make(true, std::nullopt,
                        {{"gods word", "God's Word"}, {"straße", "Street"}, {"c++", "C++"}, {"kelvin", "K"}});
    const auto rules = manager->rules();
    const std::vector<std::string> vocabulary = {
        "john", "JOHN", "psalm", "Psalms", "first", "1st", "third", "corinthians", "3", "16", "316", "1200", "119",
        "300", "and", "AND", "three", "sixteen", "twenty-eight", "3,16", "3:16", "god", "GOD", "gods", "word", "holy",
        "Spirit", "c++", "straße", "\u212Aelvin"};
    const std::vector<std::string> spaces = {" ", " ", " ", "  ", "\n", "\t"};
    std::mt19937 random(20240611);
    auto pick = [&](const std::vector<std::string>& list) {
        return list[std::uniform_int_distribution<std::size_t>(0, list.size() - 1)(random)];
    };
    for (int i = 0; i < 1000; ++i) {
        std::string text = pick(vocabulary);
        for (int words = i % 9; words > 0; --words) text += pick(spaces) + pick(vocabulary);
        icu::UnicodeString cached = lumeno::speech::toUnicode(text);
        icu::UnicodeString compiled = cached;
        std::vector<AppliedCorrection> cachedApplied, compiledApplied;
        rules->apply(cached, cachedApplied);
        rules->applyCompilingEachPass(compiled, compiledApplied);
        EXPECT_EQ(cached, compiled) << text;
        EXPECT_EQ(cachedApplied, compiledApplied) << text;
        EXPECT_EQ(formatScriptureReferences(text + " é"), formatScriptureReferences(text) + " é") << text;
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
// text is blank or the manager went meanwhile.
TEST_F(CorrectionManagerTest, RefinedTextArrivesOnceOnMainAndBlankOrOrphanedTextUnchanged) {
    auto manager = make(true);
    std::promise<void> release;
    background_.submit([gate = release.get_future().share()] { gate.wait(); });
    std::vector<std::string> results;
    std::vector<std::thread::id> ranOn;
    for (const char* text : {"   ", "  what time is it \n"}) {
        manager->refinePunctuation(text, [&](std::string refined) {
            results.push_back(refined);
            ranOn.push_back(std::this_thread::get_id());
        });
    }
    EXPECT_TRUE(results.empty()) << "completion must not run inside the call";
    release.set_value();
    ASSERT_TRUE(queue_.runUntil([&] { return results.size() == 2; }));
    queue_.runUntilIdle();
    EXPECT_EQ(results, (std::vector<std::string>{"   ", "What time is it?"}));
    EXPECT_EQ(ranOn, std::vector<std::thread::id>(2, std::this_thread::get_id()));

    std::promise<void> hold;
    background_.submit([gate = hold.get_future().share()] { gate.wait(); });
    manager->refinePunctuation(" what time is it", [&](std::string text) { results.push_back(text); });
    manager.reset();
    corrections_.reset();
    hold.set_value();
    ASSERT_TRUE(queue_.runUntil([&] { return results.size() == 3; }));
    EXPECT_EQ(results.back(), " what time is it");
}
