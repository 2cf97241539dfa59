// The application controller's speech steps, with the session on the fake recogniser: the
// stored switch and its auto-start, the switch with and without permission, the session's
// results on the panel and the stop at cleanup.
#include <gtest/gtest.h>

#include "app/view_controller.h"
#include "fakes/fake_capture_source.h"
#include "fakes/fake_main_view.h"
#include "fakes/fake_recognizer.h"
#include "support/correction_fixture.h"

using namespace std::chrono_literals;
using namespace lumeno;
using speech::AuthorizationStatus;
namespace key = prefs::key;

namespace {

// A controller with the session on the fake recogniser; one per case.
struct Rig : lumeno::testing::CorrectionFixture {
    explicit Rig(AuthorizationStatus status) { platform.status = status; }
    void start() {
        session = speech::SpeechRecognitionManager::create({queue_, log_, preferences_, corrections_, platform, &notifications});
        app::ViewController::Services services{queue_, background_, notifications, log_, preferences_, source, source,
                                               [](auto) { return std::make_shared<lumeno::testing::FakeListenerServer>(); }};
        services.speech = session;
        controller = app::ViewController::create(services, view);
        controller->viewDidLoad();
        queue_.runUntilIdle();
    }
    ~Rig() {
        if (controller) controller->cleanup();
    }

    core::NotificationCenter notifications;
    lumeno::testing::FakeSpeechPlatform platform;
    lumeno::testing::FakeCaptureSource source;
    std::shared_ptr<lumeno::testing::FakeMainView> view = std::make_shared<lumeno::testing::FakeMainView>();
    std::shared_ptr<speech::SpeechRecognitionManager> session;
    std::shared_ptr<app::ViewController> controller;
};

}  // namespace

// With streaming restored at 1.0 s, the stored switch starts speech at 1.5 s; its results then
// reach the panel on main, and cleanup stops it. A missing permission is not asked for at startup.
TEST(SpeechControllerTest, StoredSwitchShowsAndAutoStartsAtOneAndAHalfSecondsOnlyWithPermission) {
    struct Case {
        bool stored;
        AuthorizationStatus status;
        bool starts;
    };
    for (const Case c : {Case{true, AuthorizationStatus::authorized, true}, Case{true, AuthorizationStatus::notDetermined, false},
                         Case{false, AuthorizationStatus::authorized, false}}) {
        Rig rig(c.status);
        rig.store_->setBool(key::kSpeechRecognitionEnabled, c.stored);
        rig.store_->setBool(key::kIsStreaming, true);
        rig.start();
        EXPECT_EQ(rig.view->speechChecked, c.stored);
        rig.queue_.advance(1499ms);
        EXPECT_TRUE(rig.platform.tasks.empty());
        rig.queue_.advance(1ms);
        ASSERT_EQ(rig.platform.tasks.size(), c.starts ? 1u : 0u);
        EXPECT_EQ(rig.platform.pendingRequests(), 0u);
        if (!c.starts) continue;

        auto task = rig.platform.lastTask();
        task->deliver("hello there", false);
        EXPECT_TRUE(rig.view->panel.empty());  // not before main runs
        rig.queue_.runUntilIdle();
        EXPECT_EQ(rig.view->panel, (std::vector<std::pair<std::string, bool>>{{"hello there", false}}));
        rig.controller->cleanup();
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
        Rig rig(c.status);
        rig.start();
        rig.controller->toggleSpeech(true);
        ASSERT_EQ(rig.platform.pendingRequests(), c.answer ? 1u : 0u);
        if (c.answer) rig.platform.answerAuthorization(*c.answer);
        rig.queue_.runUntilIdle();
        EXPECT_EQ(rig.store_->boolForKey(key::kSpeechRecognitionEnabled), c.on);
        EXPECT_EQ(rig.session->isRecognizing(), c.on);
        EXPECT_EQ(rig.view->speechChecked, c.on);
        EXPECT_EQ(rig.view->alerts.size(), c.on ? 0u : 1u);
        if (!c.on) {
            EXPECT_EQ(rig.view->alerts[0].messageText, "Authorization Required");
            continue;
        }
        rig.controller->toggleSpeech(false);
        EXPECT_FALSE(rig.store_->boolForKey(key::kSpeechRecognitionEnabled));
        EXPECT_FALSE(rig.session->isRecognizing());
        EXPECT_TRUE(rig.platform.lastTask()->cancelled);
    }
}
