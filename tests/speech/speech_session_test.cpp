#include "speech/speech_recognition_manager.h"

#include <gtest/gtest.h>

#include <thread>

#include "fakes/fake_recognizer.h"
#include "support/correction_fixture.h"

using namespace std::chrono_literals;
using namespace lumeno;
using speech::SpeechRecognitionManager;
using lumeno::testing::FakeSpeechPlatform;
namespace key = prefs::key;

namespace {

class SpeechSessionTest : public ::testing::Test, protected lumeno::testing::CorrectionFixture {
protected:
    void SetUp() override {
        store_->setBool(key::kSpeechRecognitionEnabled, true);
        store_->setBool(key::kTranscriptionCorrectionsEnabled, true);
        corrections_->loadCorrections();
    }

    std::shared_ptr<SpeechRecognitionManager> makeSession() {
        auto session = SpeechRecognitionManager::create({queue_, log_, preferences_, corrections_, platform_});
        session->setOnTranscriptionUpdate([this](const std::string& text, bool isFinal) { updates_.emplace_back(text, isFinal); });
        return session;
    }

    using Updates = std::vector<std::pair<std::string, bool>>;
    // Records what the session hands to the listener server.
    struct RecordingSink final : speech::TranscriptionSink {
        void broadcastTranscription(const speech::Transcription& caption) override {
            sent.emplace_back(caption.text, caption.isFinal);
            language = caption.language;
        }
        Updates sent;
        std::string language;
    };

    // Delivers one result as the recogniser would and lets main, and a final's punctuation pass
    // (a probe queued behind it on the background queue), finish.
    void deliver(const std::string& text, bool isFinal) {
        platform_.lastTask()->deliver(text, isFinal);
        queue_.runUntilIdle();
        if (!isFinal) return;
        auto done = std::make_shared<std::atomic<bool>>(false);
        background_.submit([&queue = queue_, done] { queue.async([done] { *done = true; }); });
        queue_.runUntil([done] { return done->load(); }, 2s);
        queue_.runUntilIdle();
    }
    static void append(SpeechRecognitionManager& session, std::uint32_t frames, double rate) {
        std::vector<float> samples(frames, 0.1f);
        const float* channels[] = {samples.data()};
        session.append({channels, 1, frames, frames, rate});
    }

    FakeSpeechPlatform platform_;
    Updates updates_;
};

}  // namespace

// Corrections apply to every result; a final is sent once as heard and again only when the
// punctuation pass changes it, while the stored texts keep the unrefined final.
TEST_F(SpeechSessionTest, ResultsAreCorrectedCalledBackAndSentWithARefinedFinalOnlyWhenItDiffers) {
    struct Case {
        const char* recognised;
        bool isFinal;
        std::vector<std::string> sent;
    };
    const std::vector<Case> cases = {
        {"john three sixteen", false, {"John 3:16"}},
        {"Go forward ten meters.", true, {"Go forward ten meters."}},
        {"go forward ten meters", true, {"go forward ten meters", "Go forward ten meters."}},
    };
    auto session = makeSession();
    auto sink = std::make_shared<RecordingSink>();
    session->setHttpServer(sink);
    store_->setString(key::kSpeechRecognitionLanguage, "en-GB");  // the message carries the stored language
    session->startRecognition();
    for (const auto& c : cases) {
        updates_.clear();
        sink->sent.clear();
        deliver(c.recognised, c.isFinal);
        Updates expected;
        for (const auto& text : c.sent) expected.emplace_back(text, c.isFinal);
        EXPECT_EQ(updates_, expected) << c.recognised;
        EXPECT_EQ(sink->sent, expected) << c.recognised;
        EXPECT_EQ(sink->language, "en-GB");
        EXPECT_EQ(session->currentTranscription(), c.sent[0]);
        EXPECT_EQ(session->lastFinalTranscription(), c.isFinal ? c.recognised : "");
    }
}

// Only a start that passes every guard runs a task.
TEST_F(SpeechSessionTest, StartRunsATaskOnlyPastItsGuards) {
    struct Case {
        const char* name;
        std::function<void(FakeSpeechPlatform&, prefs::PreferencesStore&)> setUp;
        std::string status;
    };
    const std::vector<Case> cases = {
        {"authorized", [](auto&, auto&) {}, "Recognizing"},
        {"disabled", [](auto&, auto& s) { s.setBool(key::kSpeechRecognitionEnabled, false); }, "Disabled"},
        {"no model for the locale", [](auto&, auto& s) { s.setString(key::kSpeechRecognitionLanguage, "ja-JP"); }, "Ready"},
        {"recogniser unavailable", [](auto& p, auto&) { p.available = false; }, "Ready"},
    };
    for (const auto& c : cases) {
        FakeSpeechPlatform platform;
        auto store = std::make_shared<prefs::PreferencesStore>(log_);
        store->setBool(key::kSpeechRecognitionEnabled, true);
        c.setUp(platform, *store);
        prefs::PreferencesManager preferences(store);
        auto session = SpeechRecognitionManager::create({queue_, log_, preferences, corrections_, platform});
        session->startRecognition();
        const bool starts = c.status == "Recognizing";
        EXPECT_EQ(session->isRecognizing(), starts) << c.name;
        EXPECT_EQ(platform.tasks.size(), starts ? 1u : 0u) << c.name;
        EXPECT_EQ(session->statusText(), c.status) << c.name;
    }
}

TEST_F(SpeechSessionTest, RestartAndStopCancelTheOldTaskAndFeedOnlyTheCurrentRequest) {
    auto session = makeSession();
    session->startRecognition();
    auto first = platform_.lastTask();
    deliver("first words", true);
    session->startRecognition();
    auto second = platform_.lastTask();
    ASSERT_NE(first, second);
    EXPECT_TRUE(first->cancelled);
    append(*session, 480, 48000.0);
    EXPECT_EQ(first->request->frames, 0u);
    EXPECT_EQ(second->request->frames, 480u);

    // A recogniser error is reported and captions go on.
    second->fail("the decoder failed");
    queue_.runUntilIdle();
    EXPECT_TRUE(session->isRecognizing());

    session->stopRecognition();
    EXPECT_TRUE(second->cancelled);
    EXPECT_FALSE(session->isRecognizing());
    EXPECT_EQ(session->currentTranscription(), "");
    EXPECT_EQ(session->lastFinalTranscription(), "first words");
    append(*session, 64, 16000.0);  // no request: nothing to feed, no crash
    EXPECT_EQ(second->request->frames, 480u);
}

// A change of language or model restarts a running session half a second later on a new
// recogniser; a vocabulary entry goes to the running recogniser without a restart; while idle a
// language is only stored, and the next start uses it.
TEST_F(SpeechSessionTest, LanguageAndModelChangesRestartARunningSessionAndVocabularyDoesNot) {
    platform_.locales = {"en-US", "de-DE"};
    store_->setString(key::kSpeechVocabulary, R"(["Okonkwo", {"text": "Siobhan", "pronunciation": "sh ih1 v ao n"}, 7])");
    auto session = makeSession();
    const std::vector<speech::VocabularyEntry> stored = {{"Okonkwo", ""}, {"Siobhan", "SH IH V AO N"}};
    EXPECT_EQ(platform_.settingsMade.back().vocabulary, stored);
    session->startRecognition();

    session->setLanguage("de-DE");
    EXPECT_TRUE(platform_.tasks.back()->cancelled);
    EXPECT_EQ(platform_.recognizersMade.back(), "de-DE");
    queue_.advance(499ms);
    EXPECT_EQ(platform_.tasks.size(), 1u);
    queue_.advance(1ms);
    ASSERT_EQ(platform_.tasks.size(), 2u);
    EXPECT_TRUE(session->isRecognizing());

    session->setLanguageModel(speech::LanguageModelChoice::general);
    EXPECT_EQ(platform_.settingsMade.back().languageModel, speech::LanguageModelChoice::general);
    EXPECT_EQ(platform_.settingsMade.back().vocabulary, stored);
    queue_.advance(500ms);
    EXPECT_EQ(platform_.tasks.size(), 3u);
    EXPECT_EQ(session->addVocabularyEntry(" Grace Chapel "), "");
    EXPECT_EQ(platform_.vocabularies.back().back().text, "Grace Chapel");
    EXPECT_EQ(platform_.tasks.size(), 3u);

    session->stopRecognition();
    session->setLanguage("en-US");
    queue_.advance(1s);
    EXPECT_EQ(store_->stringForKey(key::kSpeechRecognitionLanguage), "en-US");
    EXPECT_EQ(platform_.tasks.size(), 3u);
    EXPECT_EQ(platform_.recognizersMade.back(), "en-US");
}

TEST_F(SpeechSessionTest, ResultsAfterTheSessionIsGoneDoNothing) {
    auto session = makeSession();
    session->startRecognition();
    auto task = platform_.lastTask();
    task->deliver("queued words", true);  // waiting for main when the session goes
    session.reset();
    task->cancelled = false;  // a back-end that still calls after the session went
    task->deliver("late words", true);
    queue_.runUntilIdle();
    EXPECT_TRUE(updates_.empty());
}

// The races themselves are the sanitizer builds' to judge.
TEST_F(SpeechSessionTest, AppendingWhileMainRestartsAndStopsIsSafe) {
    auto session = makeSession();
    session->startRecognition();
    std::atomic<bool> done{false};
    std::thread tap([&] {
        for (int i = 0; i < 20000 && !done; ++i)
            if (session->isRecognizing()) append(*session, 256, 48000.0);
    });
    for (int i = 0; i < 200; ++i) i % 3 == 0 ? session->stopRecognition() : session->startRecognition();
    done = true;
    tap.join();
    EXPECT_TRUE(session->isRecognizing());
}
