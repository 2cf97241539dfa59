#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>

#include "app/app_delegate.h"
#include "app/view_controller.h"
#include "fakes/capture_logger.h"
#include "fakes/fake_capture_source.h"
#include "fakes/fake_main_view.h"
#include "fakes/virtual_main_queue.h"
#include "prefs/keys.h"
#include "ui/main_window.h"

using namespace lumeno;
using namespace lumeno::app;
namespace key = prefs::key;

namespace {

class WindowTest : public ::testing::Test {
protected:
    void launch() {
        delegate_ = std::make_unique<AppDelegate>(log_, "1.2.3");
        delegate_->applicationDidFinishLaunching([this](std::shared_ptr<MainView> view) {
            ViewController::Services services{queue_, background_, notifications_, log_, preferences_, capture_,
                                              capture_,
                                              [this](std::optional<core::AudioFormat>) {
                                                  return server_ = std::make_shared<lumeno::testing::FakeListenerServer>();
                                              },
                                              nullptr, {}};
            services.networkInterfaces = [](bool&) {
                return std::vector<InterfaceAddress>{{"eth0", true, "10.0.0.5"}};
            };
            return ViewController::create(std::move(services), std::move(view));
        });
        window_ = delegate_->window();
        queue_.runUntilIdle();
    }
    template <typename T>
    T* child(const char* name) {
        return window_->findChild<T*>(name);
    }
    QString label(const char* name) { return child<QLabel>(name)->text(); }

    lumeno::testing::VirtualMainQueue queue_;
    lumeno::testing::CaptureLogger log_;
    core::NotificationCenter notifications_;
    core::BackgroundQueue background_;
    std::shared_ptr<prefs::PreferencesStore> store_ = std::make_shared<prefs::PreferencesStore>(log_);
    prefs::PreferencesManager preferences_{store_};
    lumeno::testing::FakeCaptureSource capture_;
    std::shared_ptr<lumeno::testing::FakeListenerServer> server_;
    std::unique_ptr<AppDelegate> delegate_;
    ui::MainWindow* window_ = nullptr;
};

// The adapter's wiring both ways: every control reaches the controller (seen in what it stores),
// and what the controller shows reaches the widgets.
TEST_F(WindowTest, ControlsReachTheControllerAndItsStateReachesTheWidgets) {
    capture_.setDevices({{"A", "a1"}, {"B", "b"}, {"A", "a2"}}, {{1, "a1"}, {2, "b"}, {3, "a2"}});
    store_->setString(key::kSelectedAudioDevice, std::string("B"));
    store_->setBool(key::kAutoGainEnabled, true);
    launch();
    EXPECT_EQ(label("statusLabel"), "Status: Monitoring");
    EXPECT_EQ(label("ipLabel"), "Access at: 10.0.0.5:8080/listen");

    auto* stream = child<QPushButton>("streamButton");
    stream->click();
    EXPECT_EQ(stream->text(), "Stop Streaming");
    EXPECT_TRUE(store_->boolForKey(key::kIsStreaming));

    auto* autoGain = child<QCheckBox>("autoGainToggle");
    EXPECT_TRUE(autoGain->isChecked());
    autoGain->click();
    EXPECT_FALSE(store_->boolForKey(key::kAutoGainEnabled));

    auto* popup = child<QComboBox>("devicePopup");
    EXPECT_EQ(popup->currentIndex(), 1);
    EXPECT_TRUE(capture_.defaultInputChanges().empty());  // selecting at startup switches nothing
    popup->setCurrentIndex(2);
    emit popup->activated(2);
    EXPECT_EQ(capture_.defaultInputChanges(), std::vector<std::uint32_t>{3});  // the second "A"

    notifications_.post("listenerCountChanged", {{"count", std::int64_t{3}}});
    EXPECT_EQ(label("listenerCountLabel"), "👥 Active Listeners: 3");
    child<QToolButton>("transcriptButton")->click();
    EXPECT_TRUE(store_->boolForKey(key::kTranscriptPanelShown));
}

TEST_F(WindowTest, AlertsShowTextNeverMarkup) {
    launch();
    delegate_->viewController()->showAlert("Error", "Failed: <b>disk</b>\n\nTry again.");
    queue_.runUntilIdle();
    QMessageBox* box = nullptr;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* found = qobject_cast<QMessageBox*>(widget); found && found->isVisible()) box = found;
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->informativeText(), "Failed: &lt;b&gt;disk&lt;/b&gt;<br><br>Try again.");
    box->accept();
}

// Closing the main window ends the event loop even with Preferences open, and the server stops.
TEST_F(WindowTest, QuitsWhenTheWindowClosesEvenWithPreferencesOpen) {
    launch();
    delegate_->showPreferences();
    ASSERT_TRUE(delegate_->preferencesWindow()->isVisible());
    QTimer::singleShot(0, window_, [this] { window_->close(); });
    QTimer::singleShot(5000, [] { QCoreApplication::exit(99); });
    EXPECT_EQ(QCoreApplication::exec(), 0);
    delegate_->applicationWillTerminate();
    EXPECT_TRUE(server_->stopped);
}

}  // namespace
