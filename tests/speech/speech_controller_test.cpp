// The application controller's speech steps, with the session on the fake recogniser: the
// stored switch and its auto-start, the switch, the session's results on the panel and the stop
// at cleanup. The Linux recogniser is always authorized, so the permission prompts stay out.
#include <gtest/gtest.h>

#include "app/view_controller.h"
#include "fakes/fake_capture_source.h"
#include "fakes/fake_main_view.h"
#include "fakes/fake_recognizer.h"
#include "support/correction_fixture.h"

using namespace std::chrono_literals;
using namespace lumeno;
namespace key = prefs::key;

namespace {

// A controller with the session on the fake recogniser; one per case.
struct Rig : lumeno::testing::CorrectionFixture {
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
// reach the panel on main, and cleanup stops it.
TEST(SpeechControllerTest, StoredSwitchShowsAndAutoStartsAtOneAndAHalfSeconds) {
    for (const bool stored : {true, false}) {
        Rig rig;
        rig.store_->setBool(key::kSpeechRecognitionEnabled, stored);
        rig.store_->setBool(key::kIsStreaming, true);
        rig.start();
        EXPECT_EQ(rig.view->speechChecked, stored);
        rig.queue_.advance(1499ms);
        EXPECT_TRUE(rig.platform.tasks.empty());
        rig.queue_.advance(1ms);
        ASSERT_EQ(rig.platform.tasks.size(), stored ? 1u : 0u);
        if (!stored) continue;

        auto task = rig.platform.lastTask();
        task->deliver("hello there", false);
        EXPECT_TRUE(rig.view->panel.empty());  // not before main runs
        rig.queue_.runUntilIdle();
        EXPECT_EQ(rig.view->panel, (std::vector<std::pair<std::string, bool>>{{"hello there", false}}));
        rig.controller->cleanup();
        EXPECT_TRUE(task->cancelled);
    }
}

TEST(SpeechControllerTest, SwitchStoresItsStateAndStartsOrStopsTheSession) {
    Rig rig;
    rig.start();
    for (const bool on : {true, false, true}) {
        rig.controller->toggleSpeech(on);
        rig.queue_.runUntilIdle();
        EXPECT_EQ(rig.store_->boolForKey(key::kSpeechRecognitionEnabled), on);
        EXPECT_EQ(rig.session->isRecognizing(), on);
        EXPECT_EQ(rig.view->speechChecked, on);
    }
    EXPECT_TRUE(rig.platform.tasks.front()->cancelled);
    EXPECT_EQ(rig.platform.tasks.size(), 2u);
}
