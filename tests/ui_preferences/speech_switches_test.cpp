// The main window's "Live Transcription" switch and the preferences window's speech box are two
// views of one setting: each follows the other, and following never runs the other's action.
#include <QCheckBox>

#include "app/view_controller.h"
#include "fakes/fake_capture_source.h"
#include "fakes/fake_main_view.h"
#include "preferences_harness.h"
#include "ui/preferences/speech_page.h"

using namespace lumeno;
using lumeno::testing::PreferencesTest;
namespace key = prefs::key;

TEST_F(PreferencesTest, SpeechSwitchesOfBothWindowsStayInStep) {
    lumeno::testing::FakeCaptureSource source;
    auto view = std::make_shared<lumeno::testing::FakeMainView>();
    QCheckBox* box = makeWindow().speech().speechEnabledCheckbox();
    app::ViewController::Services services{queue_, background_, notifications_, log_, preferences_, source, source,
                                           [](auto) { return std::make_shared<lumeno::testing::FakeListenerServer>(); }};
    services.speech = speech_;
    auto controller = app::ViewController::create(services, view);
    controller->viewDidLoad();
    queue_.runUntilIdle();

    box->click();
    queue_.runUntilIdle();
    EXPECT_EQ(view->speechChecked, true);
    controller->toggleSpeech(false);  // the main window's switch
    queue_.runUntilIdle();
    EXPECT_FALSE(box->isChecked());
    controller->toggleSpeech(true);
    queue_.runUntilIdle();
    EXPECT_TRUE(box->isChecked());
    box->click();
    queue_.runUntilIdle();
    EXPECT_EQ(view->speechChecked, false);

    // Two starts, one from each window: neither switch ran the other's action.
    EXPECT_EQ(speechPlatform_.tasks.size(), 2u);
    EXPECT_EQ(log_.count("🎤 Speech recognition disabled"), 1);  // the main window's own line
    controller->cleanup();
}
