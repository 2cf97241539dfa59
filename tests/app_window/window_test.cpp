#include <gtest/gtest.h>

#include <QAbstractAnimation>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <fstream>

#include "app/app_delegate.h"
#include "app/view_controller.h"
#include "fakes/capture_logger.h"
#include "support/manual_animation_driver.h"
#include "fakes/fake_capture_source.h"
#include "fakes/fake_main_view.h"
#include "fakes/virtual_main_queue.h"
#include "prefs/keys.h"
#include "support/temp_dir.h"
#include "ui/main_window.h"

using namespace lumeno;
using namespace lumeno::app;
using namespace std::chrono_literals;
namespace key = prefs::key;

namespace {

using lumeno::testing::ManualAnimationDriver;

// Receives what the desktop would open.
class UrlCatcher : public QObject {
    Q_OBJECT
public slots:
    void open(const QUrl& url) { opened.push_back(url); }

public:
    std::vector<QUrl> opened;
};

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override { driver_.install(); }
    void TearDown() override {
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (qobject_cast<QDialog*>(widget)) widget->close();
        driver_.uninstall();
    }

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
    QColor labelColor(const char* name) { return child<QLabel>(name)->palette().color(QPalette::WindowText); }
    template <typename T>
    T* topLevel() {
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* found = qobject_cast<T*>(widget); found && found->isVisible()) return found;
        return nullptr;
    }
    int windowWidth() {
        QApplication::sendPostedEvents();
        return window_->width();
    }

    ManualAnimationDriver driver_;
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

TEST_F(WindowTest, ListenerCountLabelFollowsTheCountAndRejectsText) {
    launch();
    struct Case {
        core::UserInfo info;
        QString text;
        QColor color;
    };
    const QColor green(52, 199, 89);
    const Case cases[] = {
        {{{"count", std::int64_t{1}}}, "👥 Active Listener: 1", green},
        {{{"count", std::int64_t{3}}}, "👥 Active Listeners: 3", green},
        {{{"count", std::string("<b>9</b>")}}, "👥 Active Listeners: 3", green},
        {{{"count", std::int64_t{0}}}, "👥 Active Listeners: 0", QColor()},
    };
    for (const auto& c : cases) {
        notifications_.post("listenerCountChanged", c.info);
        EXPECT_EQ(label("listenerCountLabel"), c.text);
        if (c.color.isValid()) {
            EXPECT_EQ(labelColor("listenerCountLabel"), c.color);
        }
    }
    EXPECT_NE(labelColor("listenerCountLabel"), green);
}

TEST_F(WindowTest, StreamButtonSwitchesStatusTitleAndStoredFlag) {
    launch();
    EXPECT_EQ(label("statusLabel"), "Status: Monitoring");
    EXPECT_EQ(labelColor("statusLabel"), QColor(255, 149, 0));
    auto* button = child<QPushButton>("streamButton");
    button->click();
    EXPECT_EQ(button->text(), "Stop Streaming");
    EXPECT_EQ(label("statusLabel"), "Status: Streaming");
    EXPECT_EQ(labelColor("statusLabel"), QColor(52, 199, 89));
    EXPECT_EQ(store_->boolForKey(key::kIsStreaming), true);
    button->click();
    EXPECT_EQ(button->text(), "Start Streaming");
    EXPECT_EQ(store_->boolForKey(key::kIsStreaming), false);
    EXPECT_EQ(label("ipLabel"), "Access at: 10.0.0.5:8080/listen");
    EXPECT_TRUE(child<QPushButton>("qrButton")->isEnabled());
}

TEST_F(WindowTest, BoxesSetFromStoredStateRunNoActionAndAClickRunsItOnce) {
    store_->setBool(key::kAutoGainEnabled, true);
    launch();
    auto* autoGain = child<QCheckBox>("autoGainToggle");
    EXPECT_TRUE(autoGain->isChecked());
    EXPECT_EQ(log_.count("Auto Gain: Enabled"), 0);
    autoGain->click();
    EXPECT_EQ(log_.count("Auto Gain: Disabled"), 1);
    EXPECT_EQ(store_->boolForKey(key::kAutoGainEnabled), false);
}

TEST_F(WindowTest, DevicePopupShowsTheStoredDeviceAndUsesThePickedItemsIdentifier) {
    capture_.setDevices({{"A", "a1"}, {"B", "b"}, {"A", "a2"}}, {{1, "a1"}, {2, "b"}, {3, "a2"}});
    store_->setString(key::kSelectedAudioDevice, std::string("B"));
    launch();
    auto* popup = child<QComboBox>("devicePopup");
    EXPECT_EQ(popup->count(), 3);
    EXPECT_EQ(popup->currentIndex(), 1);
    EXPECT_TRUE(capture_.defaultInputChanges().empty());  // selecting at startup switches nothing
    popup->setCurrentIndex(2);
    emit popup->activated(2);
    EXPECT_EQ(capture_.defaultInputChanges(), std::vector<std::uint32_t>{3});
    EXPECT_EQ(store_->stringForKey(key::kSelectedAudioDevice), "A");
}

TEST_F(WindowTest, TranscriptButtonSlidesThePanelAndThreeQuickTogglesEndLikeTheLast) {
    launch();
    EXPECT_EQ(windowWidth(), 400);
    auto* button = child<QToolButton>("transcriptButton");
    button->click();
    driver_.advanceBy(400);
    EXPECT_EQ(windowWidth(), 720);
    button->click();
    driver_.advanceBy(400);
    EXPECT_EQ(windowWidth(), 400);
    EXPECT_EQ(window_->transcriptPanel(), nullptr);

    for (int i = 0; i < 3; ++i) {
        button->click();
        driver_.advanceBy(60);
    }
    driver_.advanceBy(400);
    EXPECT_EQ(windowWidth(), 720);
    EXPECT_EQ(store_->boolForKey(key::kTranscriptPanelShown), true);
    EXPECT_TRUE(button->property("tinted").toBool());
}

TEST_F(WindowTest, AlertsShowTextNeverMarkupAndACancelledSaveShowsNone) {
    launch();
    delegate_->viewController()->showAlert("Error", "Failed: <b>disk</b>\n\nTry again.");
    queue_.runUntilIdle();
    auto* box = topLevel<QMessageBox>();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->icon(), QMessageBox::Warning);
    EXPECT_EQ(box->text(), "Error");
    EXPECT_EQ(box->informativeText(), "Failed: &lt;b&gt;disk&lt;/b&gt;<br><br>Try again.");
    box->accept();

    child<QPushButton>("qrButton")->click();
    QFileDialog* dialog = nullptr;
    ASSERT_TRUE(queue_.runUntil([&] {
        QApplication::processEvents();
        return (dialog = topLevel<QFileDialog>()) != nullptr;
    }));
    EXPECT_EQ(dialog->windowTitle(), "Save QR Code (1000x1000px)");
    EXPECT_EQ(dialog->labelText(QFileDialog::Accept), "Save QR Code");
    dialog->reject();
    EXPECT_TRUE(log_.contains("📱 QR code save cancelled"));
    queue_.runUntilIdle();
    EXPECT_EQ(topLevel<QMessageBox>(), nullptr);
}

TEST_F(WindowTest, ShellKeepsOnePreferencesWindowOpensHelpAndQuitsWhenTheWindowCloses) {
    launch();
    EXPECT_TRUE(log_.contains("✅ View controller set"));
    delegate_->showPreferences();
    QWidget* preferences = delegate_->preferencesWindow();
    ASSERT_NE(preferences, nullptr);
    EXPECT_EQ(preferences->windowTitle(), "Preferences");
    EXPECT_EQ(preferences->size(), QSize(500, 450));
    preferences->close();
    delegate_->showPreferences();
    EXPECT_EQ(delegate_->preferencesWindow(), preferences);
    EXPECT_TRUE(preferences->isVisible());

    UrlCatcher catcher;
    QDesktopServices::setUrlHandler("file", &catcher, "open");
    lumeno::testing::TempDir dir;
    std::filesystem::create_directories(dir.path() / "share/doc/lumeno");
    std::filesystem::create_directories(dir.path() / "bin");
    std::ofstream(dir.path() / "share/doc/lumeno/help.html") << "<p>help</p>";
    EXPECT_EQ(findHelpPage(dir.path() / "bin"), dir.path() / "share/doc/lumeno/help.html");
    EXPECT_EQ(findHelpPage(dir.path()), dir.path() / "share/doc/lumeno/help.html");
    EXPECT_EQ(findHelpPage(dir.path() / "nowhere/bin"), std::nullopt);
    delegate_->openHelp();  // the test binary's own folder holds no help page
    EXPECT_TRUE(catcher.opened.empty());
    EXPECT_TRUE(log_.contains("❌ Help page not found"));
    QDesktopServices::unsetUrlHandler("file");

    // Closing the main window ends the event loop even with Preferences open.
    QTimer::singleShot(0, window_, [this] { window_->close(); });
    QTimer::singleShot(5000, [] { QCoreApplication::exit(99); });
    EXPECT_EQ(QCoreApplication::exec(), 0);
    delegate_->applicationWillTerminate();
    EXPECT_TRUE(server_->stopped);
}

}  // namespace

#include "window_test.moc"
