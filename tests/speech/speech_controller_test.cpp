// The application controller's speech steps: the stored switch and its auto-start, the speech
// switch with and without permission, the session's hook-up to the server and the panel, the
// audio feed and the stop at cleanup. The session runs on the fake recogniser.
#include <gtest/gtest.h>

#include "app/view_controller.h"
#include "fakes/capture_logger.h"
#include "fakes/fake_capture_source.h"
#include "fakes/fake_recognizer.h"
#include "fakes/fake_main_view.h"
#include "fakes/virtual_main_queue.h"
#include "prefs/keys.h"

using namespace std::chrono_literals;
using namespace lumeno;
using app::Alert;
using app::LabelColor;
using speech::AuthorizationStatus;
using lumeno::testing::CaptureLogger;
using lumeno::testing::FakeCaptureSource;
using lumeno::testing::FakeSpeechPlatform;
using lumeno::testing::VirtualMainQueue;
namespace key = prefs::key;

namespace {

using SpeechView = lumeno::testing::FakeMainView;
using NullServer = lumeno::testing::FakeListenerServer;

// A controller with the session on the fake recogniser; one per case.
struct Rig {
    void start() {
        session = speech::SpeechRecognitionManager::create({queue, log, preferences, corrections, platform});
        app::ViewController::Services services{queue, background, notifications, log, preferences, source, source,
                                               [](auto) { return std::make_shared<NullServer>(); }};
        services.speechFeed = session.get();
        services.speech = session;
        controller = app::ViewController::create(services, view);
        controller->viewDidLoad();
        queue.runUntilIdle();
    }
    ~Rig() {
        if (controller) controller->cleanup();
    }

    VirtualMainQueue queue;
    CaptureLogger log;
    core::NotificationCenter notifications;
    core::BackgroundQueue background;
    std::shared_ptr<prefs::PreferencesStore> store = std::make_shared<prefs::PreferencesStore>(log);
    prefs::PreferencesManager preferences{store};
    std::shared_ptr<speech::TranscriptionCorrectionManager> corrections =
        speech::TranscriptionCorrectionManager::create(store, {queue, background, log});
    FakeSpeechPlatform platform;
    FakeCaptureSource source;
    std::shared_ptr<SpeechView> view = std::make_shared<SpeechView>();
    std::shared_ptr<speech::SpeechRecognitionManager> session;
    std::shared_ptr<app::ViewController> controller;
};

}  // namespace

// With streaming restored at 1.0 s, the stored switch starts speech at 1.5 s; the captured audio
// then feeds the session, its results reach the panel on main, and cleanup stops it.
TEST(SpeechControllerTest, StoredSwitchShowsAndAutoStartsAtOneAndAHalfSecondsOnlyWithPermission) {
    struct Case {
        bool stored;
        AuthorizationStatus status;
        bool starts;
    };
    for (const Case c : {Case{true, AuthorizationStatus::authorized, true}, Case{true, AuthorizationStatus::notDetermined, false},
                         Case{false, AuthorizationStatus::authorized, false}}) {
        Rig rig;
        rig.platform.status = c.status;
        rig.store->setBool(key::kSpeechRecognitionEnabled, c.stored);
        rig.store->setBool(key::kIsStreaming, true);
        rig.start();
        EXPECT_EQ(rig.view->speechChecked, c.stored);
        rig.queue.advance(1499ms);
        EXPECT_TRUE(rig.platform.tasks.empty());
        rig.queue.advance(1ms);
        ASSERT_EQ(rig.platform.tasks.size(), c.starts ? 1u : 0u);
        EXPECT_EQ(rig.log.contains("🎤 Speech recognition auto-started from persisted state"), c.starts);
        EXPECT_EQ(rig.platform.pendingRequests(), 0u);  // a missing permission is not asked for at startup
        if (!c.starts) continue;

        auto task = rig.platform.lastTask();
        std::vector<float> samples(512, 0.1f);
        const float* channels[] = {samples.data()};
        rig.source.deliver({channels, 1, 512, 512, 48000.0});  // on the tap thread's path
        EXPECT_EQ(task->request->frames, 512u);
        task->deliver("hello there", false);
        EXPECT_TRUE(rig.view->panel.empty());  // not before main runs
        rig.queue.runUntilIdle();
        EXPECT_EQ(rig.view->panel, (std::vector<std::pair<std::string, bool>>{{"hello there", false}}));
        rig.controller->cleanup();
        EXPECT_FALSE(rig.session->isRecognizing());
        EXPECT_TRUE(task->cancelled);
    }
}

TEST(SpeechControllerTest, SwitchOnStartsWithPermissionOrAsksAndFollowsTheAnswerAndOffStops) {
    struct Case {
        AuthorizationStatus status;
        std::optional<AuthorizationStatus> answer;  // when asked
        bool on;
    };
    for (const Case c : {Case{AuthorizationStatus::authorized, std::nullopt, true},
                         Case{AuthorizationStatus::notDetermined, AuthorizationStatus::authorized, true},
                         Case{AuthorizationStatus::notDetermined, AuthorizationStatus::denied, false}}) {
        Rig rig;
        rig.platform.status = c.status;
        rig.start();
        rig.controller->toggleSpeech(true);
        ASSERT_EQ(rig.platform.pendingRequests(), c.answer ? 1u : 0u);
        if (c.answer) rig.platform.answerAuthorization(*c.answer);
        rig.queue.runUntilIdle();
        EXPECT_EQ(rig.store->hasKey(key::kSpeechRecognitionEnabled) && rig.store->boolForKey(key::kSpeechRecognitionEnabled), c.on);
        EXPECT_EQ(rig.session->isRecognizing(), c.on);
        if (!c.on) {
            EXPECT_EQ(rig.view->speechChecked, false);
            EXPECT_EQ(rig.view->alerts,
                      std::vector<Alert>{(Alert{app::AlertStyle::informational, "Authorization Required",
                                                "Speech recognition requires permission. Please grant access in System "
                                                "Settings > Privacy & Security > Speech Recognition."})});
            continue;
        }
        EXPECT_TRUE(rig.view->alerts.empty());
        EXPECT_TRUE(rig.log.contains("🎤 Speech recognition enabled and started"));
        rig.log.clear();
        rig.controller->toggleSpeech(false);
        EXPECT_FALSE(rig.store->boolForKey(key::kSpeechRecognitionEnabled));
        EXPECT_FALSE(rig.session->isRecognizing());
        EXPECT_TRUE(rig.platform.lastTask()->cancelled);
        EXPECT_EQ(rig.log.lines(), (std::vector<std::string>{"🎤 Speech recognition stopped", "🎤 Speech recognition stopped",
                                                           "🎤 Speech recognition disabled"}));
    }
}
