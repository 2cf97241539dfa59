#include "app/app_delegate.h"

#include <QApplication>
#include <QDesktopServices>
#include <QIcon>
#include <QMessageBox>
#include <QPixmap>
#include <QScreen>
#include <QShortcut>
#include <QUrl>

#include "app/qt_main_view.h"
#include "app/view_controller.h"
#include "ui/main_window.h"

namespace lumeno::app::embedded {
std::string_view lumeno_svg();
}

namespace lumeno::app {

namespace {

constexpr const char* kLicence = "Licensed under the MIT License.";

void centreOnScreen(QWidget& window) {
    const QScreen* screen = window.screen() ? window.screen() : QGuiApplication::primaryScreen();
    if (!screen) return;
    QRect frame = window.frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    window.move(frame.topLeft());
}

// The empty preferences window used until the real one is given.
QWidget* placeholderPreferencesWindow() {
    auto* window = new QWidget(nullptr, Qt::Window);
    window->setWindowTitle("Preferences");
    window->setFixedSize(500, 450);
    auto* hide = new QShortcut(QKeySequence("Ctrl+W"), window);
    QObject::connect(hide, &QShortcut::activated, window, &QWidget::hide);
    return window;
}

}  // namespace

AppDelegate::AppDelegate(core::Logger& log, QString version)
    : log_(log), version_(std::move(version)), makePreferencesWindow_(placeholderPreferencesWindow) {}

AppDelegate::~AppDelegate() {
    delete preferencesWindow_.data();
}

void AppDelegate::applicationDidFinishLaunching(const ControllerFactory& makeController) {
    log_.line("=== APP DELEGATE STARTING ===");

    log_.line("🔧 Setting up menu...");
    window_ = std::make_unique<ui::MainWindow>(log_);
    window_->buildMenus();
    QObject::connect(window_.get(), &ui::MainWindow::aboutRequested, window_.get(), [this] { showAbout(); });
    QObject::connect(window_.get(), &ui::MainWindow::preferencesRequested, window_.get(), [this] { showPreferences(); });
    QObject::connect(window_.get(), &ui::MainWindow::helpRequested, window_.get(), [this] { openHelp(); });
    QObject::connect(window_.get(), &ui::MainWindow::quitRequested, window_.get(), [] { QCoreApplication::quit(); });
    // Closing the main window ends the application, even while Preferences is open.
    QObject::connect(window_.get(), &ui::MainWindow::closeRequested, window_.get(), [] { QCoreApplication::quit(); });
    log_.line("✅ Menu setup complete");

    log_.line("🔧 Creating window...");
    window_->setWindowTitle("Lumeno");
    // The installed icon serves the desktop's menus; this one the window, installed or not.
    QPixmap icon;
    const std::string_view svg = embedded::lumeno_svg();
    if (icon.loadFromData(reinterpret_cast<const uchar*>(svg.data()), static_cast<uint>(svg.size()), "SVG"))
        QApplication::setWindowIcon(QIcon(icon));
    window_->adjustSize();
    centreOnScreen(*window_);
    log_.line("✅ Window created");

    log_.line("🔧 Creating view controller...");
    view_ = std::make_shared<QtMainView>(*window_, log_);
    viewController_ = makeController(view_);
    view_->attach(viewController_);
    viewController_->viewDidLoad();
    window_->show();
    window_->raise();
    window_->activateWindow();
    log_.line("✅ View controller set");

    log_.line("🎉 === APP DELEGATE COMPLETE ===");
}

void AppDelegate::applicationWillTerminate() {
    if (viewController_) viewController_->cleanup();
}

void AppDelegate::showPreferences() {
    if (!preferencesWindow_) {
        preferencesWindow_ = makePreferencesWindow_();
        // Kept when closed: closing only hides it, and its state survives to the next opening.
        preferencesWindow_->setAttribute(Qt::WA_DeleteOnClose, false);
        // Ctrl+W is the window's own: a second shortcut for it here would make both ambiguous.
        centreOnScreen(*preferencesWindow_);
    }
    preferencesWindow_->show();
    preferencesWindow_->raise();
    preferencesWindow_->activateWindow();
}

void AppDelegate::openHelp() {
    const auto page = findHelpPage(QCoreApplication::applicationDirPath().toStdString());
    if (!page) {
        log_.line("❌ Help page not found");
        return;
    }
    QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(page->string())));
}

void AppDelegate::showAbout() {
    auto* box = new QMessageBox(QMessageBox::Information, "About Lumeno",
                                "Lumeno " + version_ + "\n\nAssistive listening: live audio and captions on "
                                "listeners' own phones.\n\n" + kLicence,
                                QMessageBox::Ok, window_.get());
    box->setTextFormat(Qt::PlainText);
    box->setObjectName("about");
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

std::optional<std::filesystem::path> findHelpPage(const std::filesystem::path& executableDir) {
    for (const auto& candidate : {executableDir / "share/doc/lumeno/help.html",
                                  executableDir / "../share/doc/lumeno/help.html"}) {
        std::error_code error;
        if (std::filesystem::is_regular_file(candidate, error)) return candidate.lexically_normal();
    }
    return std::nullopt;
}

}  // namespace lumeno::app
