// Entry point and composition root: builds the long-lived objects, wires them and runs the
// Qt event loop as the main queue until SIGINT or SIGTERM.
#include <pthread.h>
#include <sys/resource.h>

#include <QCoreApplication>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <thread>

#include "app/options.h"
#include "core/log.h"
#include "core/notification_center.h"
#include "platform/qt/qt_main_queue.h"
#include "prefs/preferences_manager.h"
#include "server/simple_http_server.h"

namespace {

// Each listener holds a socket; the usual soft limit of 1024 would cap a large room.
void raiseFileLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// Blocks the stop signals in every thread and turns them into a clean quit of the event loop,
// so settings are saved and listeners are closed properly.
std::thread watchStopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread watcher([set] {
        int signal = 0;
        sigwait(&set, &signal);
        QMetaObject::invokeMethod(QCoreApplication::instance(), [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
    });
    watcher.detach();
    return watcher;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace lumeno;
    std::signal(SIGPIPE, SIG_IGN);

    const auto parsed = app::parseOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.options) {
        std::cerr << "lumeno: " << parsed.error << "\n\n" << app::usageText();
        return 2;
    }
    const app::Options& options = *parsed.options;
    if (options.showHelp) {
        std::cout << app::usageText();
        return 0;
    }
    if (options.showVersion) {
        std::cout << "lumeno " << LUMENO_VERSION << "\n";
        return 0;
    }

    raiseFileLimit();
    watchStopSignals();
    QCoreApplication qtApp(argc, argv);

    core::StdoutLogger log;
    core::NotificationCenter notifications;
    platform::QtMainQueue mainQueue;

    const auto configDir = options.configDir ? std::filesystem::path(*options.configDir) : prefs::defaultConfigDir();
    auto store = std::make_shared<prefs::PreferencesStore>(configDir / prefs::kSettingsFileName, log);
    if (auto error = app::applySettings(*store, options.settings); !error.empty()) {
        std::cerr << "lumeno: " << error << "\n";
        return 2;
    }
    prefs::PreferencesManager preferences(store);

    auto server = server::SimpleHTTPServer::create(options.port, std::nullopt, {mainQueue, notifications, log});
    server->start();

    const int status = QCoreApplication::exec();
    server->stop();
    store->synchronize();
    return status;
}
