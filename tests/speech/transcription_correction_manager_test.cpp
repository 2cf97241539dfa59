#include "speech/transcription_correction_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <random>
#include <thread>

#include "fakes/capture_logger.h"
#include "fakes/virtual_main_queue.h"
#include "prefs/keys.h"
#include "speech/icu_text.h"

using namespace std::chrono_literals;
using lumeno::core::BackgroundQueue;
using lumeno::prefs::PreferencesStore;
using lumeno::speech::AppliedCorrection;
using lumeno::speech::CorrectionMap;
using lumeno::speech::TranscriptionCorrectionManager;
using lumeno::testing::CaptureLogger;
using lumeno::testing::VirtualMainQueue;
namespace key = lumeno::prefs::key;

namespace {

struct Case {
    const char* input;
    const char* expected;
};

class CorrectionManagerTest : public ::testing::Test {
protected:
    // Stores the switches and the custom map as the preferences window would, then builds.
    std::shared_ptr<TranscriptionCorrectionManager> make(bool enabled, std::optional<bool> biblical = std::nullopt,
                                                         const CorrectionMap& custom = {}) {
        store_->setBool(key::kTranscriptionCorrectionsEnabled, enabled);
        if (biblical) store_->setBool(key::kTranscriptionUseBiblicalTerms, *biblical);
        auto manager = TranscriptionCorrectionManager::create(store_, {queue_, background_, log_});
        if (!custom.empty()) {
            EXPECT_TRUE(manager->setCustomCorrections(custom));
        }
        log_.clear();
        return manager;
    }

    void expectAll(const TranscriptionCorrectionManager& manager, const std::vector<Case>& cases) {
        for (const Case& c : cases) EXPECT_EQ(manager.applyCorrections(c.input), c.expected) << "input: " << c.input;
    }

    CaptureLogger log_;
    std::shared_ptr<PreferencesStore> store_ = std::make_shared<PreferencesStore>(log_);
    VirtualMainQueue queue_;
    BackgroundQueue background_{1};  // after queue_: its tasks post to the queue until joined
};

}  // namespace

TEST_F(CorrectionManagerTest, BuiltInTermsAdaptToTheSpokenCase) {
    auto manager = make(true);
    expectAll(*manager, {
                            {"god bless", "God bless"},
                            {"GOD", "GOD"},  // shouted: the replacement in capitals
                            {"God", "God"},
                            {"the lord is my shepherd", "the Lord is my shepherd"},
                            {"Amen", "Amen"},
                            {"HOLY SPIRIT", "HOLY SPIRIT"},
                            {"holy spirit", "Holy Spirit"},
                            {"Holy spirit", "Holy Spirit"},
                            {"revelations", "Revelation"},
                            {"zachariah", "Zechariah"},
                            {"Job said", "Job said"},
                            {"a good job", "a good Job"},  // no context rules
                            {"the Verse and the verse", "the Verse and the verse"},
                            {"CHAPTER", "CHAPTER"},
                        });
}

TEST_F(CorrectionManagerTest, KeysMatchWholeWordsOnlyByUnicodeWordRules) {
    auto manager = make(true);
    expectAll(*manager, {
                            {"goddess", "goddess"},
                            {"ungodly", "ungodly"},
                            {"café god", "café God"},
                            {"godé", "godé"},  // an accented letter continues the word
                            {"égod", "égod"},
                            {"god's love", "God's love"},
                            {"god’s love", "God’s love"},
                            {"🙏god🙏", "🙏God🙏"},
                            {"Боже god", "Боже God"},
                            {"日本god", "日本god"},  // ideographs are letters too
                            {"god_bless", "god_bless"},
                            {"god-fearing", "God-fearing"},
                            {"", ""},
                            {"   ", "   "},
                        });
}

TEST_F(CorrectionManagerTest, AppliedCorrectionsAreLoggedInTheOrderMade) {
    auto manager = make(true, std::nullopt, {{"gods word", "God's Word"}});
    // The two-word key runs first; the later "god" pass matches the "God" of "God's" again.
    EXPECT_EQ(manager->applyCorrections("gods word"), "God's Word");
    EXPECT_EQ(log_.lines(), std::vector<std::string>{"📝 Applied corrections: gods word → God's Word, God → God"});

    log_.clear();
    EXPECT_EQ(manager->applyCorrections("god and GOD"), "God and GOD");
    EXPECT_EQ(log_.lines(), std::vector<std::string>{"📝 Applied corrections: GOD → GOD, god → God"});

    log_.clear();
    EXPECT_EQ(manager->applyCorrections("nothing to see"), "nothing to see");
    EXPECT_TRUE(log_.lines().empty());
}

TEST_F(CorrectionManagerTest, CustomCorrectionsOverrideAndOrderByWordCount) {
    auto manager = make(true, std::nullopt,
                        {{"faith", "Faithful"},
                         {"Alpha", "beta"},  // stored keys are lower-cased when the map is built
                         {"beta", "gamma"},  // same word count: runs after "alpha", in map order
                         {"a b", "two"},
                         {"a b c", "three"}});
    EXPECT_EQ(manager->correctionMap().at("faith"), "Faithful");
    EXPECT_EQ(manager->correctionMap().count("Alpha"), 0u);
    expectAll(*manager, {
                            {"faith", "Faithful"},
                            {"Faith", "Faithful"},
                            {"FAITH", "FAITHFUL"},
                            {"alpha", "gamma"},
                            {"a b c", "three"},
                            {"a b", "two"},
                        });
}

TEST_F(CorrectionManagerTest, KeysWithPatternCharactersMatchThemselvesOnly) {
    auto manager = make(true, false,
                        {{"a.b", "a-dot-b"},
                         {"c++", "C++"},
                         {"mr.", "Mr."},
                         {"$5", "five dollars"},
                         {"2", "to"},
                         {"(amen)", "Amen"},
                         {"\\d", "digit"},
                         {"x|y", "either"}});
    expectAll(*manager, {
                            {"a.b", "a-dot-b"},
                            {"axb", "axb"},
                            {"I like c++ a lot", "I like C++ a lot"},
                            {"c++x", "c++x"},
                            {"ask mr. smith", "ask Mr. smith"},
                            {"costs $5 today", "costs five dollars today"},
                            {"costs 5 today", "costs 5 today"},
                            {"go 2 church", "go to church"},  // a digit is not a shouted word
                            {"go 22 times", "go 22 times"},
                            {"say (amen)", "say Amen"},
                            {"a \\d b and 5", "a digit b and 5"},
                            {"x or y", "x or y"},
                            {"x|y", "either"},
                        });
}

TEST_F(CorrectionManagerTest, CaseInsensitiveMatchingUsesFullCaseFolding) {
    auto manager = make(true, false, {{"straße", "Street"}, {"kelvin", "Kelvin scale"}, {"praise", "praise 🙌"}});
    expectAll(*manager, {
                            {"STRASSE", "STREET"},
                            {"die Straße", "die Street"},
                            {"\u212Aelvin", "Kelvin scale"},  // KELVIN SIGN folds to k
                            {"praise him", "praise 🙌 him"},
                            {"PRAISE him", "PRAISE 🙌 him"},
                        });
}

TEST_F(CorrectionManagerTest, BlankCustomKeysAreIgnored) {
    auto manager = make(true, false, {{"", "X"}, {"  ", "Y"}});
    EXPECT_TRUE(manager->correctionMap().empty());
    EXPECT_EQ(manager->applyCorrections("hello world"), "hello world");
    EXPECT_TRUE(log_.contains("📝 No corrections in map (enabled: true, biblical: false, custom count: 2)"));
}

TEST_F(CorrectionManagerTest, DisabledCorrectionsLeaveTextAndReferencesAlone) {
    auto manager = make(false, std::nullopt, {{"faith", "Faithful"}});
    EXPECT_TRUE(manager->correctionMap().empty());
    EXPECT_EQ(manager->applyCorrections("john 3 16 faith"), "john 3 16 faith");
    EXPECT_EQ(log_.lines(), std::vector<std::string>{"📝 Text corrections disabled"});
}

TEST_F(CorrectionManagerTest, EmptyMapLogsWhyAndSkipsScriptureFormatting) {
    auto manager = make(true, false);
    EXPECT_EQ(manager->applyCorrections("john 3 16"), "john 3 16");
    EXPECT_EQ(manager->applyCorrections("john 3 16"), "john 3 16");  // logged for every result
    EXPECT_EQ(log_.count("📝 No corrections in map (enabled: true, biblical: false, custom count: 0)"), 2);
}

TEST_F(CorrectionManagerTest, ScriptureReferencesAreFormattedAfterTheTerms) {
    auto manager = make(true);
    expectAll(*manager, {
                            {"john three sixteen", "John 3:16"},
                            {"psalms 23 1", "Psalm 23:1"},
                            {"first corinthians thirteen four", "1 Corinthians 13:4"},
                            {"read romans 8 28 and 29 today", "read Romans 8:28-29 today"},
                        });
}

TEST_F(CorrectionManagerTest, BiblicalSwitchAbsentMeansOnExplicitFalseMeansOff) {
    auto manager = make(true);
    EXPECT_TRUE(manager->useBiblicalTerms());
    EXPECT_EQ(manager->correctionMap().size(), 96u);

    store_->setBool(key::kTranscriptionUseBiblicalTerms, false);
    manager->loadCorrections();
    EXPECT_FALSE(manager->useBiblicalTerms());
    EXPECT_TRUE(manager->correctionMap().empty());
    EXPECT_EQ(manager->applyCorrections("god bless"), "god bless");

    store_->remove(key::kTranscriptionUseBiblicalTerms);
    manager->loadCorrections();
    EXPECT_EQ(manager->applyCorrections("god bless"), "God bless");
}

TEST_F(CorrectionManagerTest, UndecodableStoredCorrectionsReadEmptyAndStayStored) {
    auto manager = make(true, false);
    for (const std::string& bytes : {std::string("not json"), std::string("[\"a\"]"), std::string("{\"a\": 1}"),
                                    std::string("{\"a\": \"\xff\"}"), std::string()}) {
        store_->setData(key::kTranscriptionCustomCorrections, bytes);
        manager->loadCorrections();
        EXPECT_TRUE(manager->customCorrections().empty()) << bytes;
        EXPECT_TRUE(manager->correctionMap().empty()) << bytes;
        EXPECT_EQ(store_->dataForKey(key::kTranscriptionCustomCorrections), bytes);
    }
}

TEST_F(CorrectionManagerTest, WritingCorrectionsStoresJsonAndRebuilds) {
    auto manager = make(true, false);
    ASSERT_TRUE(manager->setCustomCorrections({{"gods word", "God's Word"}}));
    EXPECT_EQ(store_->dataForKey(key::kTranscriptionCustomCorrections), R"({"gods word":"God's Word"})");
    EXPECT_EQ(manager->applyCorrections("gods word"), "God's Word");

    // Text that is not UTF-8 cannot be encoded: nothing is stored and the map stays.
    EXPECT_FALSE(manager->setCustomCorrections({{"bad\xff", "x"}}));
    EXPECT_EQ(manager->customCorrections(), (CorrectionMap{{"gods word", "God's Word"}}));
    EXPECT_EQ(manager->applyCorrections("gods word"), "God's Word");
}

TEST_F(CorrectionManagerTest, IllFormedUtf8IsReplacedOnEveryPath) {
    const std::string broken = "god \xff\xfe bless \xc3";
    const std::string repaired = "\uFFFD\uFFFD bless \uFFFD";
    EXPECT_EQ(make(true)->applyCorrections(broken), "God " + repaired);
    EXPECT_EQ(make(true, false)->applyCorrections(broken), "god " + repaired);
    EXPECT_EQ(make(false)->applyCorrections(broken), "god " + repaired);
}

TEST_F(CorrectionManagerTest, CompiledRulesGiveTheSameResultsAsCompilingEachPass) {
    auto manager = make(true, std::nullopt,
                        {{"gods word", "God's Word"}, {"straße", "Street"}, {"c++", "C++"}, {"kelvin", "K"}});
    const auto rules = manager->rules();
    std::vector<std::string> texts = {"gods word and the lord god", "GOD BLESS THE HOLY SPIRIT", "die STRASSE zum lord",
                                      "\u212Aelvin and god", "c++ for john", "godé café god 🙏 amen", "", "nothing here",
                                      "psalms of david and solomon", "goddess JOB job Job"};
    const std::vector<std::string> vocabulary = {"god", "God", "GOD", "gods", "word", "holy", "Spirit", "c++", "c",
                                                 "lord", "amen", "straße", "the", "goddess", "job", "é", "\u212Aelvin"};
    std::mt19937 random(7);
    std::uniform_int_distribution<std::size_t> pick(0, vocabulary.size() - 1);
    for (int i = 0; i < 300; ++i) {
        std::string text;
        for (int words = 1 + i % 7; words > 0; --words) text += (text.empty() ? "" : " ") + vocabulary[pick(random)];
        texts.push_back(text);
    }
    for (const std::string& text : texts) {
        icu::UnicodeString cached = lumeno::speech::toUnicode(text);
        icu::UnicodeString compiled = cached;
        std::vector<AppliedCorrection> cachedApplied;
        std::vector<AppliedCorrection> compiledApplied;
        rules->apply(cached, cachedApplied);
        rules->applyCompilingEachPass(compiled, compiledApplied);
        EXPECT_EQ(cached, compiled) << text;
        EXPECT_EQ(cachedApplied, compiledApplied) << text;
    }
}

TEST_F(CorrectionManagerTest, PassesOnOtherThreadsSeeTheOldOrTheNewMapNeverAMix) {
    auto manager = make(true, false, {{"apple", "Orange"}, {"pie", "cake"}});
    const CorrectionMap first = {{"apple", "Orange"}, {"pie", "cake"}};
    const CorrectionMap second = {{"apple", "Pear"}, {"pie", "tart"}};

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
    // Rebuild until the other threads have run plenty of passes against the rebuilding.
    for (int i = 0; i < 200 || passes.load() - before < 100; ++i) manager->setCustomCorrections(i % 2 ? first : second);
    stop = true;
    recogniser.join();
    panel.join();
    EXPECT_EQ(unexpected.load(), 0);
}

TEST_F(CorrectionManagerTest, BlankTextRefinesToItselfOnTheMainQueue) {
    auto manager = make(true);
    std::vector<std::string> results;
    manager->refinePunctuation("   ", [&](std::string text) { results.push_back(text); });
    EXPECT_TRUE(results.empty()) << "completion must not run inside the call";
    queue_.runUntilIdle();
    EXPECT_EQ(results, std::vector<std::string>{"   "});
}

TEST_F(CorrectionManagerTest, RefinedTextArrivesOnceOnTheMainThread) {
    auto manager = make(true);
    std::vector<std::string> results;
    std::thread::id ranOn;
    manager->refinePunctuation("  what time is it \n", [&](std::string text) {
        results.push_back(text);
        ranOn = std::this_thread::get_id();
    });
    ASSERT_TRUE(queue_.runUntil([&] { return !results.empty(); }));
    queue_.runUntilIdle();
    EXPECT_EQ(results, std::vector<std::string>{"What time is it?"});
    EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST_F(CorrectionManagerTest, ManagerGoneBeforeThePassGivesBackTheInput) {
    auto manager = make(true);
    std::mutex mutex;
    std::condition_variable released;
    bool go = false;
    background_.submit([&] {
        std::unique_lock lock(mutex);
        released.wait(lock, [&] { return go; });
    });

    std::vector<std::string> results;
    manager->refinePunctuation(" what time is it", [&](std::string text) { results.push_back(text); });
    manager.reset();
    {
        std::lock_guard lock(mutex);
        go = true;
    }
    released.notify_all();
    ASSERT_TRUE(queue_.runUntil([&] { return !results.empty(); }));
    EXPECT_EQ(results, std::vector<std::string>{" what time is it"});
}
