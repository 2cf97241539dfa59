#include "app/view_controller.h"

#include <chrono>
#include <utility>

#include "midi/midi_control_setup.h"
#include "prefs/keys.h"

namespace lumeno::app {

using namespace std::chrono_literals;

namespace {

constexpr const char* kStatusMonitoring = "Status: Monitoring";
constexpr const char* kStatusStreaming = "Status: Streaming";
constexpr const char* kStatusAudioError = "Status: Audio Error";
constexpr const char* kStartStreaming = "Start Streaming";
constexpr const char* kStopStreaming = "Stop Streaming";
constexpr const char* kAudioEngineError = "Audio Engine Error";
constexpr const char* kTryAnotherDevice = "\n\nTry selecting a different audio input device.";

constexpr auto kStreamingRestoreDelay = 1000ms;
constexpr auto kTranscriptPanelRestoreDelay = 500ms;
constexpr auto kListenerCountPeriod = 5000ms;
constexpr auto kSpeechAutoStartDelay = 1500ms;

constexpr const char* kSpeechEnabledAndStarted = "🎤 Speech recognition enabled and started";

std::string describeFormat(const core::AudioFormat& format) {
    return core::formatDecimal(format.sampleRate) + "Hz, " + std::to_string(format.channelCount) + " channels";
}

}  // namespace

std::shared_ptr<ViewController> ViewController::create(Services services, std::shared_ptr<StatusView> status,
                                                       std::shared_ptr<ControlsView> controls, Options options) {
    std::shared_ptr<ViewController> controller(
        new ViewController(std::move(services), std::move(status), std::move(controls), options));
    controller->wire();
    return controller;
}

ViewController::ViewController(Services services, std::shared_ptr<StatusView> status,
                               std::shared_ptr<ControlsView> controls, Options options)
    : services_(std::move(services)),
      status_(std::move(status)),
      controls_(std::move(controls)),
      options_(options),
      defaults_(services_.preferences.defaults()) {}

// The pieces hold the controller weakly and call it on main only.
void ViewController::wire() {
    const std::weak_ptr<ViewController> weak = weak_from_this();
    std::function<void(float)> showLevel;
    if (controls_)
        showLevel = [weak](float level) {
            if (auto self = weak.lock()) self->controls().updateLevel(level);
        };
    tap_ = AudioTap::create({services_.mainQueue, services_.log, services_.speechFeed, std::move(showLevel)});

    CaptureSupervisor::Events events;
    events.formatKnown = [weak](const core::AudioFormat& format) {
        if (auto self = weak.lock()) self->audioFormat_ = format;
    };
    events.started = [weak] {
        if (auto self = weak.lock()) self->captureStarted();
    };
    events.stopped = [weak] {
        if (auto self = weak.lock(); self && self->httpServer_) self->httpServer_->setAudioFlowing(false);
    };
    events.failed = [weak](CaptureSupervisor::Failure failure, const std::string& description) {
        if (auto self = weak.lock()) self->captureFailed(failure, description);
    };
    events.deviceChosen = [weak](const audio::CaptureDevice& device) {
        if (auto self = weak.lock()) self->selectDevice(device);
    };
    supervisor_ = CaptureSupervisor::create(
        {services_.mainQueue, services_.log, services_.capture, services_.devices, services_.captureWorker}, tap_,
        std::move(events));

    qrExport_ = QrExport::create(
        {services_.mainQueue, services_.background, services_.log,
         [weak](ControlsView::DestinationChosen done) {
             if (auto self = weak.lock()) self->controls().chooseQRCodeDestination(std::move(done));
         },
         [weak](const std::string& title, const std::string& message) {
             if (auto self = weak.lock()) self->showAlert(title, message);
         }});
}

ControlsView& ViewController::controls() {
    // A run without a window has no controls; what they would show is simply not shown.
    class NoControls final : public ControlsView {
        void setStreamButtonTitle(const std::string&) override {}
        void setAutoGainChecked(bool) override {}
        void setSpeechChecked(bool) override {}
        void setDeviceItems(const std::vector<DeviceItem>&) override {}
        void selectDeviceItem(std::size_t) override {}
        void updateLevel(float) override {}
        void setListenerCount(const std::string&, LabelColor) override {}
        void setDockBadge(const std::string&) override {}
        void setAddress(const std::string&, bool) override {}
        void setTranscriptButtonTinted(bool) override {}
        void showTranscriptPanel() override {}
        void hideTranscriptPanel() override {}
        void addTranscription(const std::string&, bool) override {}
        void chooseQRCodeDestination(DestinationChosen done) override { done(std::nullopt); }
    };
    static NoControls none;
    return controls_ ? *controls_ : none;
}

ViewController::~ViewController() {
    removeObservers();
    listenerCountTimer_.cancel();
    // The tap may outlive the controller inside a capture handler; it must not keep the server.
    if (tap_) tap_->setServer(nullptr);
}

void ViewController::removeObservers() {
    for (auto* observer : {&listenerCountObserver_, &speechStatusObserver_}) {
        if (*observer) services_.notifications.removeObserver(**observer);
        observer->reset();
    }
}

void ViewController::viewDidLoad() {
    core::Logger& log = services_.log;
    log.line("=== Lumeno starting ===");

    log.line("🔧 Starting UI setup...");
    setupUI();
    log.line("✅ UI setup complete");

    log.line("🔧 Starting audio engine setup...");
    setupAudioEngine();
    log.line("✅ Audio engine setup complete");

    log.line("🔧 Loading persisted state...");
    loadPersistedState();
    log.line("✅ State loaded");

    log.line("🔧 Starting server...");
    startServer();
    log.line("✅ Server started");

    if (services_.midiController) {
        log.line("🔧 Setting up MIDI control...");
        setupMIDIControl();
        log.line("✅ MIDI control setup complete");
    }

    log.line("🔧 Setting up observers...");
    setupObservers();

    log.line("🔧 Starting audio monitoring...");
    supervisor_->startMonitoringNow();
    // Also after a failed start: that failure has its own line, status and alert.
    log.line("✅ Audio monitoring started");

    log.line("🎉 === Lumeno startup complete ===");
}

void ViewController::setupMIDIControl() {
    auto self = shared_from_this();
    midiController_ = midi::setupMIDIControl(
        services_.midiController, services_.mainQueue, services_.log,
        core::weakly(self, [](ViewController& c) {
            if (!c.isStreaming()) c.toggleStreaming();
        }),
        core::weakly(self, [](ViewController& c) {
            if (c.isStreaming()) c.toggleStreaming();
        }),
        core::weakly(self, [](ViewController& c) { c.toggleStreaming(); }));
}

void ViewController::setupUI() {
    services_.log.line("Setting up UI...");
    services_.log.line("UI elements created, updating device list...");
    updateDeviceList();
    services_.log.line("Device list updated, updating IP label...");
    updateIPAddress();
    services_.log.line("UI setup complete");
}

void ViewController::viewDidAppear(double windowWidth) {
    originalWindowWidth_ = windowWidth;
    services_.log.print("📏 Stored original window width: ", core::formatDecimal(windowWidth));
}

// Startup asks the sound server directly here and in setupAudioEngine: nothing else runs yet,
// and the window appears after the sequence. Later calls go through the capture supervisor.
void ViewController::updateDeviceList() {
    deviceItems_.clear();
    for (const auto& device : services_.devices.captureDevices())
        deviceItems_.push_back({device.displayName, device.uniqueID});
    controls().setDeviceItems(deviceItems_);
    // Only the pop-up follows the stored choice: capture uses the system default, which the
    // earlier choice already set system-wide.
    if (const auto stored = defaults_.stringForKey(prefs::key::kSelectedAudioDevice)) {
        for (std::size_t i = 0; i < deviceItems_.size(); ++i) {
            if (deviceItems_[i].title == *stored) {
                controls().selectDeviceItem(i);
                break;
            }
        }
    }
}

void ViewController::updateIPAddress() {
    core::Logger& log = services_.log;
    log.line("🌐 Updating IP address...");
    bool failed = false;
    const auto interfaces =
        services_.networkInterfaces ? services_.networkInterfaces(failed) : systemInterfaceAddresses(failed);
    if (failed) log.line("❌ Failed to get network interfaces");
    auto candidates = listenerAddressCandidates(interfaces, log);
    // A server bound to one address is reachable there only.
    if (const auto bound = boundAddress(services_.bindAddress)) candidates = {*bound};
    log.print("🌐 Found IP addresses: ", formatCandidateList(candidates));

    if (candidates.empty()) {
        currentURL_.reset();
        controls().setAddress("No network connection found", false);
        log.line("❌ No network connection found, QR button disabled");
        return;
    }
    const std::string& address = candidates.front();
    currentURL_ = listenerURL(address, services_.listenerPort);
    controls().setAddress(listenerAddressLabel(address, services_.listenerPort), true);
    log.print("✅ URL set to: ", *currentURL_);
    log.line("✅ QR button enabled");
}

void ViewController::toggleTranscriptPanel() {
    transcriptPanelShown_ = !transcriptPanelShown_;
    services_.preferences.defaults().setBool(prefs::key::kTranscriptPanelShown, transcriptPanelShown_);
    services_.log.print("📝 Transcript panel state saved: ", transcriptPanelShown_ ? "true" : "false");
    if (transcriptPanelShown_)
        controls().showTranscriptPanel();
    else
        controls().hideTranscriptPanel();
}

void ViewController::setupAudioEngine() {
    services_.log.line("Setting up audio engine...");
    const auto result = services_.capture.inputFormat();
    audioFormat_ = result.format;
    if (result.format)
        services_.log.print("Audio format: ", describeFormat(*result.format));
    else
        services_.log.print("❌ Audio input unavailable: ", result.error);
}

void ViewController::generateQRCode() { qrExport_->generate(currentURL_); }

void ViewController::loadPersistedState() {
    if (defaults_.boolForKey(prefs::key::kIsStreaming) || options_.streamAtStartup) {
        services_.mainQueue.asyncAfter(kStreamingRestoreDelay,
                                       core::weakly(shared_from_this(), [](ViewController& c) { c.restoreStreaming(); }));
    } else {
        status_->setStatus(kStatusMonitoring, LabelColor::systemOrange);
    }

    const bool autoGain = defaults_.boolForKey(prefs::key::kAutoGainEnabled);
    tap_->setAutoGain(autoGain);
    controls().setAutoGainChecked(autoGain);

    // Without permission the switch still shows on; nothing is started or asked for.
    const bool speechEnabled = defaults_.boolForKey(prefs::key::kSpeechRecognitionEnabled);
    tap_->setSpeechEnabled(speechEnabled);
    controls().setSpeechChecked(speechEnabled);
    if (speechEnabled && services_.speech &&
        services_.speech->platformAuthorizationStatus() == speech::AuthorizationStatus::authorized) {
        services_.mainQueue.asyncAfter(kSpeechAutoStartDelay, core::weakly(shared_from_this(), [](ViewController& c) {
                                           c.services_.speech->startRecognition();
                                           c.services_.log.line("🎤 Speech recognition auto-started from persisted state");
                                       }));
    }

    transcriptPanelShown_ = services_.preferences.defaults().boolForKey(prefs::key::kTranscriptPanelShown);
    if (transcriptPanelShown_) {
        services_.log.line("📝 Restoring transcript panel from persisted state");
        controls().setTranscriptButtonTinted(true);
        services_.mainQueue.asyncAfter(kTranscriptPanelRestoreDelay, core::weakly(shared_from_this(), [](ViewController& c) {
                                           c.controls().showTranscriptPanel();
                                       }));
    } else {
        services_.log.line("📝 Transcript panel was hidden, keeping it closed");
        controls().setTranscriptButtonTinted(false);
    }
}

void ViewController::restoreStreaming() {
    setStreaming(true);
    showStreamingState();
}

void ViewController::setStreaming(bool streaming) {
    tap_->setStreaming(streaming);
    if (auto& archive = services_.transcriptArchive) streaming ? archive->beginSession() : archive->endSession();
    if (httpServer_) httpServer_->setStreaming(streaming);
}

void ViewController::showStreamingState() {
    const bool streaming = tap_->isStreaming();
    controls().setStreamButtonTitle(streaming ? kStopStreaming : kStartStreaming);
    if (supervisor_->captureOut()) return;  // the status keeps saying so until capture is back
    if (streaming)
        status_->setStatus(kStatusStreaming, LabelColor::systemGreen);
    else
        status_->setStatus(kStatusMonitoring, LabelColor::systemOrange);
}

void ViewController::startServer() {
    httpServer_ = services_.makeServer(audioFormat_);
    tap_->setServer(httpServer_);
    httpServer_->start();

    if (auto& session = services_.speech) {
        session->setHttpServer(httpServer_->transcriptionServer());
        session->setOnTranscriptionUpdate([weak = weak_from_this(), &queue = services_.mainQueue](const std::string& text,
                                                                                                  bool isFinal) {
            queue.async([weak, text, isFinal] {
                auto self = weak.lock();
                if (!self) return;
                self->controls().addTranscription(text, isFinal);
                if (auto& archive = self->services_.transcriptArchive) archive->addTranscription(text, isFinal);
            });
        });
    }

    // Republished even when nothing changed, so a display that missed a change catches up.
    listenerCountTimer_ = services_.mainQueue.every(kListenerCountPeriod, core::weakly(shared_from_this(), [](ViewController& c) {
                                                        c.httpServer_->publishListenerCount();
                                                    }));
}

void ViewController::setupObservers() {
    listenerCountObserver_ = services_.notifications.addObserver(
        server::kListenerCountChanged, [weak = weak_from_this()](const core::Notification& notification) {
            if (auto self = weak.lock()) self->listenerCountChanged(notification);
        });
    // The preferences window switches transcription too; the session announces every change.
    speechStatusObserver_ = services_.notifications.addObserver(
        speech::kSpeechRecognitionStatusChanged, [weak = weak_from_this()](const core::Notification&) {
            if (auto self = weak.lock()) self->speechSwitchChanged();
        });
    services_.mainQueue.async(core::weakly(shared_from_this(), [](ViewController& c) {
        c.updateDockBadge(0);
        c.services_.log.line("👥 Initialized listener count to 0");
    }));
}

void ViewController::speechSwitchChanged() {
    const bool enabled = defaults_.boolForKey(prefs::key::kSpeechRecognitionEnabled);
    tap_->setSpeechEnabled(enabled);
    controls().setSpeechChecked(enabled);
}

void ViewController::captureStarted() {
    if (httpServer_) httpServer_->setAudioFlowing(true);
    // The status follows the streaming switch: a restart while streaming must not claim that
    // listeners hear nothing.
    services_.mainQueue.async(core::weakly(shared_from_this(), [](ViewController& c) {
        if (c.tap_->isStreaming())
            c.status_->setStatus(kStatusStreaming, LabelColor::systemGreen);
        else
            c.status_->setStatus(kStatusMonitoring, LabelColor::systemOrange);
    }));
}

void ViewController::captureFailed(CaptureSupervisor::Failure failure, const std::string& description) {
    if (failure == CaptureSupervisor::Failure::lost) {
        status_->setStatus(kStatusAudioError, LabelColor::systemRed);
        status_->showAlert(
            {AlertStyle::warning, kAudioEngineError, "Audio capture stopped: " + description + kTryAnotherDevice});
        return;
    }
    // Later on main: a failed start at startup must not open a modal alert inside the sequence.
    services_.mainQueue.async(core::weakly(shared_from_this(), [description](ViewController& c) {
        c.status_->setStatus(kStatusAudioError, LabelColor::systemRed);
        c.status_->showAlert({AlertStyle::warning, kAudioEngineError,
                              "Failed to start audio monitoring: " + description + kTryAnotherDevice});
    }));
}

void ViewController::toggleStreaming() {
    const bool streaming = !tap_->isStreaming();
    setStreaming(streaming);
    defaults_.setBool(prefs::key::kIsStreaming, streaming);
    showStreamingState();
}

void ViewController::toggleAutoGain(bool checked) {
    tap_->setAutoGain(checked);
    // Reset on both edges: a buffer in flight may store a smoothed gain just after the reset on
    // the way off, and switching on must still start from 1.0.
    tap_->resetGain();
    defaults_.setBool(prefs::key::kAutoGainEnabled, checked);
    services_.log.line(checked ? "Auto Gain: Enabled" : "Auto Gain: Disabled");
}

void ViewController::toggleSpeech(bool checked) {
    const auto& session = services_.speech;
    if (!session) return;
    if (!checked) {
        defaults_.setBool(prefs::key::kSpeechRecognitionEnabled, false);
        tap_->setSpeechEnabled(false);
        if (session->isRecognizing()) session->stopRecognition();
        session->stopRecognition();
        services_.log.line("🎤 Speech recognition disabled");
        return;
    }
    auto enableAndStart = [](ViewController& c) {
        c.defaults_.setBool(prefs::key::kSpeechRecognitionEnabled, true);
        c.tap_->setSpeechEnabled(true);
        c.services_.speech->startRecognition();
        c.services_.log.line(kSpeechEnabledAndStarted);
    };
    if (session->platformAuthorizationStatus() == speech::AuthorizationStatus::authorized) return enableAndStart(*this);
    session->requestAuthorization([weak = weak_from_this(), &queue = services_.mainQueue, enableAndStart](bool granted) {
        queue.async([weak, granted, enableAndStart] {
            auto self = weak.lock();
            if (!self) return;
            if (granted) return enableAndStart(*self);
            self->controls().setSpeechChecked(false);
            self->showAlert("Authorization Required",
                            "Speech recognition requires permission. Please grant access in System Settings > "
                            "Privacy & Security > Speech Recognition.");
        });
    });
}

void ViewController::deviceChanged(const std::optional<std::string>& title, const std::optional<std::string>& uniqueID) {
    if (!title) return;
    defaults_.setString(prefs::key::kSelectedAudioDevice, *title);
    services_.log.print("Device changed to: ", *title);
    supervisor_->switchDevice(*title, uniqueID);
}

// A choice made elsewhere (the command line) shows in the pop-up too.
void ViewController::selectDevice(const audio::CaptureDevice& device) {
    for (std::size_t i = 0; i < deviceItems_.size(); ++i) {
        if (deviceItems_[i].uniqueID == device.uniqueID) {
            controls().selectDeviceItem(i);
            break;
        }
    }
}

void ViewController::showAlert(std::string title, std::string message) {
    services_.mainQueue.async(core::weakly(shared_from_this(), [title = std::move(title), message = std::move(message)](
                                                                   ViewController& c) {
        const AlertStyle style = title == "Error" ? AlertStyle::warning : AlertStyle::informational;
        c.status_->showAlert({style, title, message});
    }));
}

void ViewController::listenerCountChanged(const core::Notification& notification) {
    const auto count = notification.get<std::int64_t>("count");
    if (!count) {
        services_.log.line("❌ Listener count notification missing count value");
        return;
    }
    // The count is republished every 5 s; only a change is news for the log.
    const bool changed = *count != std::exchange(loggedListenerCount_, *count);
    if (changed) services_.log.print("👥 Listener count updated: ", *count);
    if (*count == 1)
        controls().setListenerCount("👥 Active Listener: 1", LabelColor::systemGreen);
    else if (*count == 0)
        controls().setListenerCount("👥 Active Listeners: 0", LabelColor::secondaryLabel);
    else
        controls().setListenerCount("👥 Active Listeners: " + std::to_string(*count), LabelColor::systemGreen);
    if (changed)
        updateDockBadge(*count);
    else
        controls().setDockBadge(*count < 1 ? std::string() : std::to_string(*count));
}

void ViewController::updateDockBadge(std::int64_t count) {
    services_.log.print("🏷️ Updating dock badge: ", count);
    controls().setDockBadge(count < 1 ? std::string() : std::to_string(count));
}

void ViewController::cleanup() {
    removeObservers();
    if (services_.speech) services_.speech->stopRecognition();
    if (services_.transcriptArchive) services_.transcriptArchive->endSession();
    // Capture stops on the supervisor's worker; until it has, buffers go nowhere.
    tap_->setServer(nullptr);
    supervisor_->stop();
    if (httpServer_) httpServer_->stop();
}

}  // namespace lumeno::app
