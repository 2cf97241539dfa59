#pragma once

#include <QPointer>
#include <QString>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

#include "core/log.h"

#include <QWidget>

namespace lumeno::ui {
class MainWindow;
}

namespace lumeno::app {

class QtMainView;
class ViewController;
class MainView;

// The windowed application: menus, the main window with the controller inside it, the
// preferences window on request, help and about, and quitting when the main window closes.
// Thread: main.
class AppDelegate {
public:
    using ControllerFactory = std::function<std::shared_ptr<ViewController>(std::shared_ptr<MainView>)>;
    using WindowFactory = std::function<QWidget*()>;

    AppDelegate(core::Logger& log, QString version);
    ~AppDelegate();
    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    // Builds menus and the window, creates the controller (whose startup runs in between) and
    // shows the window.
    void applicationDidFinishLaunching(const ControllerFactory& makeController);
    // Called once the event loop has ended: the controller cleans up before anything is freed.
    void applicationWillTerminate();

    // The preferences window, made on first use and only hidden when closed.
    void showPreferences();
    void setPreferencesWindowFactory(WindowFactory factory) { makePreferencesWindow_ = std::move(factory); }
    void openHelp();
    void showAbout();

    ui::MainWindow* window() const { return window_.get(); }
    QWidget* preferencesWindow() const { return preferencesWindow_; }
    const std::shared_ptr<ViewController>& viewController() const { return viewController_; }

private:
    core::Logger& log_;
    QString version_;
    std::unique_ptr<ui::MainWindow> window_;
    std::shared_ptr<QtMainView> view_;
    std::shared_ptr<ViewController> viewController_;
    QPointer<QWidget> preferencesWindow_;
    WindowFactory makePreferencesWindow_;
};

// The help page that ships with Lumeno: beside the binary in a build tree, under share/doc
// when installed. Absent when neither is there.
std::optional<std::filesystem::path> findHelpPage(const std::filesystem::path& executableDir);

}  // namespace lumeno::app
