// Entry point and composition root: builds the long-lived objects, wires them and runs the
// Qt event loop as the main queue until SIGINT, SIGTERM or SIGHUP.
#include <pthread.h>
#include <sys/resource.h>

#include <QApplication>
#include <QTimer>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <iostream>
#include <string_view>
#include <thread>

#include "app/app_delegate.h"
#include "app/headless_view.h"
#include "app/http_listener_server.h"
#include "app/listener_address.h"
#include "app/options.h"
#include "app/view_controller.h"
#include "audio/file_capture_source.h"
#include "audio/wav_file.h"
#include "core/background.h"
#include "core/log.h"
#include "core/notification_center.h"
#include "core/queued_logger.h"
#include "midi/midi_cli.h"
#include "midi/midi_controller.h"
#include "platform/alsa/alsa_midi_backend.h"
#include "platform/sphinx/sphinx_recognizer.h"
#include "platform/pulse/pulse_capture_source.h"
#include "platform/qt/qt_main_queue.h"
#include "prefs/preferences_manager.h"
#include "qr/qr_code.h"
#include "server/listener_page.h"
#include "server/simple_http_server.h"
#include "transcript/transcript_archive.h"
#include "ui/main_window.h"
#include "ui/preferences/preferences_window.h"
#include "ui/transcript/transcript_panel_view.h"

#ifdef LUMENO_HAVE_DEMO
namespace lumeno::app::embedded {
std::string_view lumeno_demo_wav();
}
#endif

namespace {

// Each listener holds a socket; the usual soft limit of 1024 would cap a large room.
void raiseFileLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// Blocks the stop signals in this thread and so in every thread started after it: the capture
// back-ends start threads of their own, and a stop signal delivered to one of those would kill
// the process without saving the settings.
sigset_t blockStopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);  // a closed terminal or a service manager's reload: stop cleanly too
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    return set;
}

// Set once the event loop's application object exists; before that nothing needs saving.
std::atomic<bool> eventLoopReady{false};

// Turns a stop signal into a clean quit of the event loop, so settings are saved and listeners
// are closed properly. Started as soon as the signals are blocked, so a signal during startup
// is never left waiting: before the event loop exists the process simply ends.
void watchStopSignals(sigset_t set) {
    std::thread watcher([set] {
        int signal = 0;
        sigwait(&set, &signal);
        if (!eventLoopReady.load()) std::_Exit(128 + signal);
        QMetaObject::invokeMethod(QCoreApplication::instance(), [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
    });
    watcher.detach();
}

// The recording that --input-file or --demo asks for; a message when it cannot be used.
lumeno::audio::WavFile::OpenResult openInputRecording(const lumeno::app::Options& options) {
    using lumeno::audio::WavFile;
    if (options.inputFile) return WavFile::open(*options.inputFile);
#ifdef LUMENO_HAVE_DEMO
    return WavFile::fromEmbedded(lumeno::app::embedded::lumeno_demo_wav(), "Lumeno demo recording");
#else
    return {nullptr, "this build has no demo recording (festival's HTS voice was missing when it was built)"};
#endif
}

// Whether a window can be shown at all: Qt's own start-up aborts the process when it cannot
// reach a display, so this is asked first.
bool displayAvailable() {
    auto set = [](const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr && *value != '\0';
    };
    return set("QT_QPA_PLATFORM") || set("DISPLAY") || set("WAYLAND_DISPLAY");
}

// --save-qr: the QR code of the listener address, without a window. Returns the exit status.
int saveListenerQRCode(const lumeno::app::Options& options) {
    using namespace lumeno;
    core::StderrLogger log;
    bool failed = false;
    auto candidates = app::listenerAddressCandidates(app::systemInterfaceAddresses(failed), log);
    if (const auto bound = app::boundAddress(options.bindAddress)) candidates = {*bound};
    if (candidates.empty()) {
        std::cerr << "lumeno: No network connection found: no address to put in the QR code\n";
        return 2;
    }
    const std::string url = app::listenerURL(candidates.front(), options.port);
    const auto image = qr::generateQRCodeImage(url, 1000);
    const auto png = image ? qr::encodePNG(*image) : std::nullopt;
    if (!png) {
        std::cerr << "lumeno: could not make the QR code of " << url << "\n";
        return 2;
    }
    if (const std::string error = qr::writeFileAtomically(*options.saveQR, *png); !error.empty()) {
        std::cerr << "lumeno: could not save the QR code to " << *options.saveQR << ": " << error << "\n";
        return 2;
    }
    std::cout << "Saved the QR code of " << url << " to " << *options.saveQR << "\n";
    return 0;
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

    if (options.exportTranscript) {
        return transcript::exportTranscriptCommand(
            options.transcriptDir ? std::filesystem::path(*options.transcriptDir) : transcript::defaultTranscriptDir(),
            options.session, *options.exportTranscript, std::cout, std::cerr);
    }

    if (options.saveQR) return saveListenerQRCode(options);
    {
        // Settings are checked before anything else can fail, so a bad one is what gets reported.
        core::NullLogger quiet;
        prefs::PreferencesStore scratch(quiet);
        if (auto error = app::applySettings(scratch, options.settings); !error.empty()) {
            std::cerr << "lumeno: " << error << "\n";
            return 2;
        }
    }
    if (app::opensWindow(options) && !displayAvailable()) {
        std::cerr << "lumeno: no display found; use --headless to run without a window\n";
        return 2;
    }

    if (options.listMidi) {
        core::StderrLogger errors;
        platform::AlsaMIDIBackend backend;
        return midi::listMIDISources(backend, std::cout, errors);
    }

    watchStopSignals(blockStopSignals());

    // Without --input-file or --demo the input is the sound server's default source.
    std::unique_ptr<audio::CaptureSource> capture;
    audio::DeviceDirectory* devices = nullptr;
    if (options.inputFile || options.demo) {
        auto recording = openInputRecording(options);
        if (!recording.file) {
            std::cerr << "lumeno: " << recording.error << "\n";
            return 2;
        }
        auto source = std::make_unique<audio::FileCaptureSource>(std::move(recording.file));
        devices = source.get();
        capture = std::move(source);
    } else {
        auto source = std::make_unique<platform::PulseCaptureSource>();
        devices = source.get();
        capture = std::move(source);
    }

    if (options.listDevices) {
        const auto list = devices->captureDevices();
        for (const auto& device : list) std::cout << device.displayName << "\n";
        if (list.empty()) std::cerr << "lumeno: no audio input devices found (is a PulseAudio server running?)\n";
        return 0;
    }

    raiseFileLimit();
    // Lines from the audio and io threads must never wait for the terminal or the journal.
    core::StdoutLogger stdoutLog;
    core::QueuedLogger log(stdoutLog);
    const bool windowed = app::opensWindow(options);
    if (windowed) log.line("📱 Starting Lumeno app...");
    std::unique_ptr<QCoreApplication> qtApp;
    if (windowed) {
        auto application = std::make_unique<QApplication>(argc, argv);
        QGuiApplication::setDesktopFileName("lumeno");
        QGuiApplication::setApplicationDisplayName("Lumeno");
        // The main window decides when the application ends (closing it quits, Preferences not).
        QApplication::setQuitOnLastWindowClosed(false);
        qtApp = std::move(application);
    } else {
        qtApp = std::make_unique<QCoreApplication>(argc, argv);
    }
    QCoreApplication::setApplicationName("Lumeno");
    QCoreApplication::setApplicationVersion(LUMENO_VERSION);
    eventLoopReady = true;

    core::NotificationCenter notifications;
    platform::QtMainQueue mainQueue;

    const auto configDir = options.configDir ? std::filesystem::path(*options.configDir) : prefs::defaultConfigDir();
    std::string lockError;
    const auto configLock = prefs::ConfigFolderLock::acquire(configDir, lockError);
    if (!configLock) {
        std::cerr << "lumeno: " << lockError << "\n";
        return 2;
    }
    auto store = std::make_shared<prefs::PreferencesStore>(configDir / prefs::kSettingsFileName, log);
    if (auto error = app::applySettings(*store, options.settings); !error.empty()) {
        std::cerr << "lumeno: " << error << "\n";
        return 2;
    }
    prefs::PreferencesManager preferences(store);
    // Declared after the main queue, so it finishes (and may still post) before the queue goes.
    core::BackgroundQueue background;
    // The sound server's round trips after startup, one at a time: a stuck server may hold one
    // for seconds, which must not hold up the window or the background work. Declared after the
    // capture source and the main queue: its last job (the final stop) runs before either goes.
    core::BackgroundQueue captureWorker;

    // Created on first use and kept to the end; declared after everything it refers to.
    std::shared_ptr<midi::MIDIController> midiController;
    auto sharedMIDI = [&]() {
        if (!midiController)
            midiController = midi::MIDIController::create(std::make_shared<platform::AlsaMIDIBackend>(),
                                                          {mainQueue, notifications, log, *store});
        return midiController;
    };

    if (options.learnMidi) {
        midi::learnMIDICommand(sharedMIDI(), *midi::learnTargetFromName(*options.learnMidi), mainQueue, notifications,
                               log, std::chrono::seconds(60), [](int status) { QCoreApplication::exit(status); });
        const int status = QCoreApplication::exec();
        store->synchronize();
        return status;
    }

    server::SimpleHTTPServer::Options serverOptions;
    serverOptions.bindAddress = options.bindAddress;
    serverOptions.opusBitrate = preferences.opusBitrate();
    serverOptions.mp3Bitrate = preferences.mp3Bitrate();
    serverOptions.verbose = options.verbose;
    std::shared_ptr<server::SimpleHTTPServer> httpServer;
    auto makeServer = [&](std::optional<core::AudioFormat> format) -> std::shared_ptr<app::ListenerServer> {
        auto server = server::SimpleHTTPServer::create(options.port, format, {mainQueue, notifications, log}, serverOptions);
        httpServer = server;
        server->setPageResponder(std::make_shared<server::ListenerPage>(store, *server));
        return std::make_shared<app::HttpListenerServer>(std::move(server));
    };

    // Live captions: PocketSphinx with the models of LUMENO_MODEL_DIR and Debian's. The session
    // joins its decoder thread when it goes, before the queues it posts to.
    auto corrections = speech::TranscriptionCorrectionManager::create(store, {mainQueue, background, log});
    platform::SphinxSpeechPlatform::Options speechOptions{platform::modelRoots(std::getenv("LUMENO_MODEL_DIR"))};
    std::error_code noExecutable;
    speechOptions.speechDataDirs =
        platform::speechDataDirs(std::filesystem::read_symlink("/proc/self/exe", noExecutable).parent_path());
    platform::SphinxSpeechPlatform speechPlatform(log, std::move(speechOptions));
    auto speechSession =
        speech::SpeechRecognitionManager::create({mainQueue, log, preferences, corrections, speechPlatform, &notifications});

    // Each streaming session's captions, kept as they arrive; its failure alert goes through
    // the controller, which exists by the time a caption can arrive.
    std::weak_ptr<app::ViewController> alertingController;
    auto transcriptArchive = transcript::TranscriptArchive::create(
        {mainQueue, log,
         [&alertingController](const std::string& title, const std::string& message) {
             if (auto c = alertingController.lock()) c->showAlert(title, message);
         }},
        {options.transcriptDir ? std::filesystem::path(*options.transcriptDir) : transcript::defaultTranscriptDir(),
         preferences.transcriptArchiveEnabled()});

    app::ViewController::Options controllerOptions;
    controllerOptions.streamAtStartup = options.demo;
    app::ViewController::Services services{mainQueue, background,      notifications,  log,
                                           preferences, *capture,        *devices,       makeServer,
                                           speechSession.get(),          sharedMIDI,     speechSession,
                                           options.port, options.bindAddress};
    services.transcriptArchive = transcriptArchive;
    services.captureWorker = [&captureWorker](std::function<void()> job) { captureWorker.submit(std::move(job)); };
    auto afterStartup = [&options](app::ViewController& controller) {
        if (options.device) controller.deviceChanged(options.device);
    };

    ui::QtPreferencesDialogs preferencesDialogs;
    // Declared after everything the window's controller refers to, so it goes first.
    std::unique_ptr<app::AppDelegate> delegate;
    std::shared_ptr<app::ViewController> headlessController;
    if (windowed) {
        delegate = std::make_unique<app::AppDelegate>(log, LUMENO_VERSION);
        delegate->setPreferencesWindowFactory([&]() -> QWidget* {
            return new ui::PreferencesWindow({mainQueue, notifications, log, preferences, sharedMIDI(), speechSession,
                                              corrections, preferencesDialogs});
        });
        // Launching runs as the event loop's first task, as a desktop application's does.
        QTimer::singleShot(0, qtApp.get(), [&] {
            delegate->applicationDidFinishLaunching([&](std::shared_ptr<app::MainView> view) {
                return app::ViewController::create(services, std::move(view), controllerOptions);
            });
            // The transcript panel is made anew on every opening; the panel restore runs later.
            delegate->window()->setTranscriptPanelFactory([&log, corrections, transcriptArchive, speechSession](QWidget* parent) {
                auto* panel = new ui::TranscriptPanelView(
                    {log, corrections, [speechSession](const std::string& text) { return speechSession->addVocabularyEntry(text); }},
                    parent);
                panel->setTranscriptSource([transcriptArchive] { return transcriptArchive->currentSession(); });
                return panel;
            });
            alertingController = delegate->viewController();
            afterStartup(*delegate->viewController());
        });
        log.line("📱 App delegate set, starting run loop...");
    } else {
        headlessController = app::ViewController::create(services, std::make_shared<app::HeadlessView>(log), nullptr,
                                                         controllerOptions);
        alertingController = headlessController;
        headlessController->viewDidLoad();
        afterStartup(*headlessController);
    }
    // A headless service that cannot listen serves nobody: its supervisor must hear of it. In
    // the window the alert says so and the operator decides.
    const bool cannotListen = !windowed && httpServer && !httpServer->hasListener();

    const int status = cannotListen ? 1 : QCoreApplication::exec();
    // Synchronously, before anything the controller talks to is freed.
    if (delegate) delegate->applicationWillTerminate();
    if (headlessController) headlessController->cleanup();
    store->synchronize();
    return status;
}
