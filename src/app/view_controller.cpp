#include "app/view_controller.h"

#include <chrono>
#include <utility>

#include "audio/buffer_processing.h"
#include "midi/midi_control_setup.h"
#include "prefs/keys.h"

namespace lumeno::app {

using namespace std::chrono_literals;

namespace {

constexpr const char* kListenerCountChanged = "listenerCountChanged";

constexpr const char* kStatusMonitoring = "Status: Monitoring";
constexpr const char* kStatusStreaming = "Status: Streaming";
constexpr const char* kStatusAudioError = "Status: Audio Error";
constexpr const char* kStartStreaming = "Start Streaming";
constexpr const char* kStopStreaming = "Stop Streaming";
constexpr const char* kAudioEngineError = "Audio Engine Error";
constexpr const char* kTryAnotherDevice = "\n\nTry selecting a different audio input device.";

constexpr auto kStreamingRestoreDelay = 1000ms;
constexpr auto kTranscriptPanelRestoreDelay = 500ms;
constexpr auto kDeviceRestartDelay = 500ms;
constexpr auto kListenerCountPeriod = 5000ms;
constexpr auto kSpeechAutoStartDelay = 1500ms;
// An unplugged microphone or a restarted sound server comes back without the operator.
constexpr auto kCaptureRetryDelay = 3000ms;

constexpr const char* kSpeechEnabledAndStarted = "🎤 Speech recognition enabled and started";

std::string describeFormat(const core::AudioFormat& format) {
    return core::formatDecimal(format.sampleRate) + "Hz, " + std::to_string(format.channelCount) + " channels";
}

}  // namespace

std::shared_ptr<ViewController> ViewController::create(Services services, std::shared_ptr<MainView> view,
                                                       Options options) {
    return std::shared_ptr<ViewController>(new ViewController(std::move(services), std::move(view), options));
}

ViewController::ViewController(Services services, std::shared_ptr<MainView> view, Options options)
    : services_(std::move(services)),
      view_(std::move(view)),
      options_(options),
      defaults_(services_.preferences.defaults()),
      speechEnabledKey_(prefs::key::kSpeechRecognitionEnabled) {}

ViewController::~ViewController() {
    if (listenerCountObserver_) services_.notifications.removeObserver(*listenerCountObserver_);
    listenerCountTimer_.cancel();
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
    startAudioMonitoring();
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
    services_.log.line("UI setup complete");
}

void ViewController::updateDeviceList() {
    std::vector<std::string> titles;
    for (const auto& device : services_.devices.captureDevices()) titles.push_back(device.displayName);
    view_->setDeviceItems(titles);
    // Only the pop-up follows the stored choice: capture uses the system default, which the
    // earlier choice already set system-wide.
    if (const auto stored = defaults_.stringForKey(prefs::key::kSelectedAudioDevice)) {
        for (std::size_t i = 0; i < titles.size(); ++i) {
            if (titles[i] == *stored) {
                view_->selectDeviceItem(i);
                break;
            }
        }
    }
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

void ViewController::loadPersistedState() {
    if (defaults_.boolForKey(prefs::key::kIsStreaming) || options_.streamAtStartup) {
        services_.mainQueue.asyncAfter(kStreamingRestoreDelay,
                                       core::weakly(shared_from_this(), [](ViewController& c) { c.restoreStreaming(); }));
    } else {
        view_->setStatus(kStatusMonitoring, LabelColor::systemOrange);
    }

    autoGainEnabled_ = defaults_.boolForKey(prefs::key::kAutoGainEnabled);
    view_->setAutoGainChecked(autoGainEnabled_);

    // Without permission the switch still shows on; nothing is started or asked for.
    const bool speechEnabled = defaults_.boolForKey(speechEnabledKey_);
    view_->setSpeechChecked(speechEnabled);
    if (speechEnabled && services_.speech &&
        services_.speech->platformAuthorizationStatus() == speech::AuthorizationStatus::authorized) {
        services_.mainQueue.asyncAfter(kSpeechAutoStartDelay, core::weakly(shared_from_this(), [](ViewController& c) {
                                           c.services_.speech->startRecognition();
                                           c.services_.log.line("🎤 Speech recognition auto-started from persisted state");
                                       }));
    }

    if (services_.preferences.defaults().boolForKey(prefs::key::kTranscriptPanelShown)) {
        services_.log.line("📝 Restoring transcript panel from persisted state");
        view_->setTranscriptButtonTinted(true);
        services_.mainQueue.asyncAfter(kTranscriptPanelRestoreDelay, core::weakly(shared_from_this(), [](ViewController& c) {
                                           c.view_->showTranscriptPanel();
                                       }));
    } else {
        services_.log.line("📝 Transcript panel was hidden, keeping it closed");
        view_->setTranscriptButtonTinted(false);
    }
}

void ViewController::restoreStreaming() {
    isStreaming_ = true;
    if (auto server = httpServer_.load()) server->setStreaming(true);
    showStreamingState();
}

void ViewController::showStreamingState() {
    view_->setStreamButtonTitle(isStreaming_ ? kStopStreaming : kStartStreaming);
    if (captureOut_) return;  // the status keeps saying so until capture is back
    if (isStreaming_)
        view_->setStatus(kStatusStreaming, LabelColor::systemGreen);
    else
        view_->setStatus(kStatusMonitoring, LabelColor::systemOrange);
}

void ViewController::startServer() {
    auto server = services_.makeServer(audioFormat_);
    httpServer_.store(server);
    server->start();

    if (auto& session = services_.speech) {
        session->setHttpServer(server->transcriptionServer());
        session->setOnTranscriptionUpdate([weak = weak_from_this(), &queue = services_.mainQueue](const std::string& text,
                                                                                                  bool isFinal) {
            queue.async([weak, text, isFinal] {
                if (auto self = weak.lock()) self->view_->addTranscription(text, isFinal);
            });
        });
    }

    // Republished even when nothing changed, so a display that missed a change catches up.
    listenerCountTimer_ = services_.mainQueue.every(
        kListenerCountPeriod, core::weakly(shared_from_this(), [](ViewController& c) { c.publishListenerCount(); }));
}

void ViewController::publishListenerCount() {
    auto server = httpServer_.load();
    if (!server) return;
    // Counting takes the server's connection lock; keep that off the main thread.
    services_.background.submit([weak = weak_from_this(), server, &queue = services_.mainQueue] {
        const std::int64_t count = server->uniqueListenerCount();
        queue.async([weak, count] {
            if (auto self = weak.lock()) self->services_.notifications.post(kListenerCountChanged, {{"count", count}});
        });
    });
}

void ViewController::setupObservers() {
    listenerCountObserver_ = services_.notifications.addObserver(
        kListenerCountChanged, [weak = weak_from_this()](const core::Notification& notification) {
            if (auto self = weak.lock()) self->listenerCountChanged(notification);
        });
    services_.mainQueue.async(core::weakly(shared_from_this(), [](ViewController& c) {
        c.updateDockBadge(0);
        c.services_.log.line("👥 Initialized listener count to 0");
    }));
}

void ViewController::startAudioMonitoring() {
    audio::CaptureSource& capture = services_.capture;
    if (capture.isRunning()) {
        services_.log.line("Audio engine already running");
        return;
    }
    capture.stop();  // clears what a failed or lost capture left behind

    const auto result = capture.inputFormat();
    if (!result.format) {
        audioStartFailed(result.error);
        return;
    }
    audioFormat_ = result.format;
    services_.log.print("🎵 Audio format: ", describeFormat(*audioFormat_));
    if (auto server = httpServer_.load()) {
        server->updateAudioFormat(*audioFormat_);
        services_.log.print("✅ Server audio format updated to ", core::formatDecimal(audioFormat_->sampleRate), "Hz");
    }

    const std::uint64_t generation = ++captureGeneration_;
    auto weak = weak_from_this();
    auto error = capture.start(
        [weak](const audio::AudioBuffer& buffer) {
            if (buffer.frameLength == 0 || buffer.frameCapacity < buffer.frameLength || buffer.channels == nullptr)
                return;
            if (auto self = weak.lock()) self->processAudioBuffer(buffer);
        },
        [weak, generation, &queue = services_.mainQueue](const std::string& why) {
            queue.async([weak, generation, why] {
                if (auto self = weak.lock()) self->captureLost(generation, why);
            });
        });
    if (error) {
        audioStartFailed(error->description);
        return;
    }
    services_.log.line("✅ Audio monitoring started successfully");
    captureOut_ = false;
    captureRetry_.cancel();
    if (auto server = httpServer_.load()) server->setAudioFlowing(true);
    // The status follows the streaming switch: a restart while streaming must not claim that
    // listeners hear nothing.
    services_.mainQueue.async(core::weakly(shared_from_this(), [](ViewController& c) {
        if (c.isStreaming_)
            c.view_->setStatus(kStatusStreaming, LabelColor::systemGreen);
        else
            c.view_->setStatus(kStatusMonitoring, LabelColor::systemOrange);
    }));
}

void ViewController::captureOutage() {
    if (auto server = httpServer_.load()) server->setAudioFlowing(false);
    captureRetry_.cancel();
    captureRetry_ = services_.mainQueue.asyncAfter(kCaptureRetryDelay, core::weakly(shared_from_this(), [](ViewController& c) {
                                                      if (!c.services_.capture.inputFormat().format) return c.captureOutage();
                                                      c.startAudioMonitoring();
                                                  }));
}

void ViewController::audioStartFailed(const std::string& error) {
    captureOutage();
    if (std::exchange(captureOut_, true)) return;
    services_.log.print("❌ Failed to start audio monitoring: ", error);
    services_.mainQueue.async(core::weakly(shared_from_this(), [error](ViewController& c) {
        c.view_->setStatus(kStatusAudioError, LabelColor::systemRed);
        c.view_->showAlert(
            {AlertStyle::warning, kAudioEngineError, "Failed to start audio monitoring: " + error + kTryAnotherDevice});
    }));
}

void ViewController::captureLost(std::uint64_t generation, const std::string& why) {
    if (generation != captureGeneration_) return;  // about a capture that was already replaced
    services_.capture.stop();
    captureOutage();
    if (std::exchange(captureOut_, true)) return;
    services_.log.print("❌ Audio capture lost: ", why);
    view_->setStatus(kStatusAudioError, LabelColor::systemRed);
    view_->showAlert({AlertStyle::warning, kAudioEngineError, "Audio capture stopped: " + why + kTryAnotherDevice});
}

void ViewController::toggleStreaming() {
    const bool streaming = !isStreaming_;
    isStreaming_ = streaming;
    defaults_.setBool(prefs::key::kIsStreaming, streaming);
    if (auto server = httpServer_.load()) server->setStreaming(streaming);
    showStreamingState();
}

void ViewController::toggleAutoGain(bool checked) {
    autoGainEnabled_ = checked;
    defaults_.setBool(prefs::key::kAutoGainEnabled, checked);
    // Reset on both edges: a buffer in flight on the tap thread may store a smoothed gain just
    // after the reset on the way off, and switching on must still start from 1.0.
    currentGain_ = 1.0f;
    services_.log.line(checked ? "Auto Gain: Enabled" : "Auto Gain: Disabled");
}

void ViewController::toggleSpeech(bool checked) {
    const auto& session = services_.speech;
    if (!session) return;
    if (!checked) {
        defaults_.setBool(speechEnabledKey_, false);
        if (session->isRecognizing()) session->stopRecognition();
        session->stopRecognition();
        services_.log.line("🎤 Speech recognition disabled");
        return;
    }
    if (session->platformAuthorizationStatus() == speech::AuthorizationStatus::authorized) {
        defaults_.setBool(speechEnabledKey_, true);
        session->startRecognition();
        services_.log.line(kSpeechEnabledAndStarted);
        return;
    }
    session->requestAuthorization([weak = weak_from_this(), &queue = services_.mainQueue](bool granted) {
        queue.async([weak, granted] {
            auto self = weak.lock();
            if (!self) return;
            if (granted) {
                self->defaults_.setBool(self->speechEnabledKey_, true);
                self->services_.speech->startRecognition();
                self->services_.log.line(kSpeechEnabledAndStarted);
            } else {
                self->view_->setSpeechChecked(false);
                self->showAlert("Authorization Required",
                                "Speech recognition requires permission. Please grant access in System Settings > "
                                "Privacy & Security > Speech Recognition.");
            }
        });
    });
}

void ViewController::deviceChanged(const std::optional<std::string>& title) {
    if (!title) return;
    defaults_.setString(prefs::key::kSelectedAudioDevice, *title);
    services_.log.print("Device changed to: ", *title);

    std::optional<audio::CaptureDevice> device;
    for (auto& candidate : services_.devices.captureDevices()) {
        if (candidate.displayName == *title) {
            device = std::move(candidate);
            break;
        }
    }
    if (!device) {
        services_.log.print("Could not find device: ", *title);
        return;
    }
    services_.log.print("Selected device UID: ", device->uniqueID);

    if (services_.capture.isRunning()) services_.capture.stop();
    captureOut_ = false;  // the operator acted: a failure is news again

    if (const auto id = services_.devices.systemDeviceId(device->uniqueID)) {
        if (services_.devices.setDefaultInput(*id))
            services_.log.print("Set default input device to ID: ", *id);
        else
            services_.log.print("❌ Could not set default input device to ID: ", *id);
    }
    services_.mainQueue.asyncAfter(kDeviceRestartDelay,
                                   core::weakly(shared_from_this(), [](ViewController& c) { c.startAudioMonitoring(); }));
}

void ViewController::showAlert(std::string title, std::string message) {
    services_.mainQueue.async(core::weakly(shared_from_this(), [title = std::move(title), message = std::move(message)](
                                                                   ViewController& c) {
        const AlertStyle style = title == "Error" ? AlertStyle::warning : AlertStyle::informational;
        c.view_->showAlert({style, title, message});
    }));
}

void ViewController::listenerCountChanged(const core::Notification& notification) {
    const auto count = notification.get<std::int64_t>("count");
    if (!count) {
        services_.log.line("❌ Listener count notification missing count value");
        return;
    }
    services_.log.print("👥 Listener count updated: ", *count);
    if (*count == 1)
        view_->setListenerCount("👥 Active Listener: 1", LabelColor::systemGreen);
    else if (*count == 0)
        view_->setListenerCount("👥 Active Listeners: 0", LabelColor::secondaryLabel);
    else
        view_->setListenerCount("👥 Active Listeners: " + std::to_string(*count), LabelColor::systemGreen);
    updateDockBadge(*count);
}

void ViewController::updateDockBadge(std::int64_t count) {
    services_.log.print("🏷️ Updating dock badge: ", count);
    view_->setDockBadge(count < 1 ? std::string() : std::to_string(count));
}

void ViewController::cleanup() {
    if (listenerCountObserver_) {
        services_.notifications.removeObserver(*listenerCountObserver_);
        listenerCountObserver_.reset();
    }
    if (services_.speech) services_.speech->stopRecognition();
    captureRetry_.cancel();
    if (services_.capture.isRunning()) services_.capture.stop();
    if (auto server = httpServer_.load()) server->stop();
}

void ViewController::processAudioBuffer(const audio::AudioBuffer& buffer) {
    if (!audio::isProcessable(buffer)) return;

    const float inputRms = audio::inputRms(buffer);
    const bool autoGain = autoGainEnabled_.load();
    const audio::GainDecision decision = audio::decideGain(inputRms, autoGain, currentGain_.load());
    if (decision.updated) currentGain_.store(decision.currentGain);
    const float gain = decision.gain;
    const float outputRms = inputRms * gain;

    if (++audioDebugCounter_ % audio::kLevelLogInterval == 0)
        services_.log.line(audio::levelLogLine(autoGain, inputRms, gain, outputRms));

    services_.mainQueue.async([weak = weak_from_this(), level = audio::displayLevel(outputRms)] {
        if (auto self = weak.lock()) self->view_->updateLevel(level);
    });

    if (!isStreaming_.load()) return;
    auto server = httpServer_.load();
    if (!server) return;
    server->sendAudioData(audio::makeWireChunk(buffer, gain));

    audio::SpeechFeed* speech = services_.speechFeed;
    if (!speech || !defaults_.boolForKey(speechEnabledKey_)) return;
    if (autoGain && gain != 1.0f) {
        auto adjusted = audio::gainAdjustedCopy(buffer, gain);
        if (adjusted && speech->isRecognizing() && defaults_.boolForKey(speechEnabledKey_))
            speech->append(adjusted->view());
    } else if (speech->isRecognizing() && defaults_.boolForKey(speechEnabledKey_)) {
        speech->append(buffer);
    }
}

}  // namespace lumeno::app
