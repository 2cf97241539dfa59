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

constexpr int kQRCodeSize = 1000;

constexpr const char* kSpeechEnabledAndStarted = "🎤 Speech recognition enabled and started";

std::string describeFormat(const core::AudioFormat& format) {
    return core::formatDecimal(format.sampleRate) + "Hz, " + std::to_string(format.channelCount) + " channels";
}

}  // namespace

std::shared_ptr<ViewController> ViewController::create(Services services, std::shared_ptr<StatusView> status,
                                                       std::shared_ptr<ControlsView> controls, Options options) {
    return std::shared_ptr<ViewController>(
        new ViewController(std::move(services), std::move(status), std::move(controls), options));
}

ViewController::ViewController(Services services, std::shared_ptr<StatusView> status,
                               std::shared_ptr<ControlsView> controls, Options options)
    : services_(std::move(services)),
      status_(std::move(status)),
      controls_(std::move(controls)),
      options_(options),
      defaults_(services_.preferences.defaults()),
      speechEnabledKey_(prefs::key::kSpeechRecognitionEnabled) {}

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
    services_.log.line("Device list updated, updating IP label...");
    updateIPAddress();
    services_.log.line("UI setup complete");
}

void ViewController::viewDidAppear(double windowWidth) {
    originalWindowWidth_ = windowWidth;
    services_.log.print("📏 Stored original window width: ", core::formatDecimal(windowWidth));
}

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

void ViewController::generateQRCode() {
    core::Logger& log = services_.log;
    log.line("📱 QR Code button pressed");
    if (!currentURL_) {
        log.line("❌ No URL available for QR code generation");
        showAlert("Error",
                  "No URL available for QR code generation.\n\nMake sure your network connection is active and try "
                  "again.");
        return;
    }
    log.print("📱 Generating QR code for URL: ", *currentURL_);
    services_.background.submit([weak = weak_from_this(), url = *currentURL_, &queue = services_.mainQueue,
                                 &log] {
        auto self = weak.lock();
        if (!self) return;
        auto image = qr::generateQRCodeImage(url, kQRCodeSize);
        if (!image) {
            log.line("❌ Failed to create QR code image");
            self->showAlert("Error", "Failed to generate QR code. Please try again.");
            return;
        }
        log.line("✅ QR code image created successfully");
        auto shared = std::make_shared<const qr::QRImage>(std::move(*image));
        queue.async([weak, shared] {
            if (auto controller = weak.lock()) controller->saveQRCode(shared);
        });
    });
}

void ViewController::saveQRCode(std::shared_ptr<const qr::QRImage> image) {
    controls().chooseQRCodeDestination([weak = weak_from_this(), image](std::optional<std::filesystem::path> path) {
        auto self = weak.lock();
        if (!self) return;
        if (!path) {
            self->services_.log.line("📱 QR code save cancelled");
            return;
        }
        self->services_.log.print("📱 Saving QR code to: ", path->string());
        self->services_.background.submit([weak, image, destination = *path] {
            if (auto controller = weak.lock()) controller->writeQRCodePNG(*image, destination);
        });
    });
}

void ViewController::writeQRCodePNG(const qr::QRImage& image, const std::filesystem::path& destination) {
    core::Logger& log = services_.log;
    const auto png = qr::encodePNG(image);
    if (!png) {
        log.line("❌ Failed to convert QR code to PNG data");
        showAlert("Error", "Failed to convert QR code to PNG format.");
        return;
    }
    // Written beside the destination and renamed over it: a failed write never costs the
    // operator an earlier file.
    if (const std::string error = qr::writeFileAtomically(destination, *png); !error.empty()) {
        log.print("❌ Failed to write QR code file: ", error);
        showAlert("Error", "Failed to save QR code: " + error);
        return;
    }
    log.line("✅ QR code saved successfully");
    showAlert("Success",
              "QR code saved successfully!\n\nYour listeners can scan this code to quickly connect to your audio "
              "stream.");
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

void ViewController::loadPersistedState() {
    if (defaults_.boolForKey(prefs::key::kIsStreaming) || options_.streamAtStartup) {
        services_.mainQueue.asyncAfter(kStreamingRestoreDelay,
                                       core::weakly(shared_from_this(), [](ViewController& c) { c.restoreStreaming(); }));
    } else {
        status_->setStatus(kStatusMonitoring, LabelColor::systemOrange);
    }

    autoGainEnabled_ = defaults_.boolForKey(prefs::key::kAutoGainEnabled);
    controls().setAutoGainChecked(autoGainEnabled_);

    // Without permission the switch still shows on; nothing is started or asked for.
    const bool speechEnabled = defaults_.boolForKey(speechEnabledKey_);
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
    isStreaming_ = true;
    if (auto& archive = services_.transcriptArchive) archive->beginSession();
    if (auto server = httpServer_.load()) server->setStreaming(true);
    showStreamingState();
}

void ViewController::showStreamingState() {
    controls().setStreamButtonTitle(isStreaming_ ? kStopStreaming : kStartStreaming);
    if (captureOut_) return;  // the status keeps saying so until capture is back
    if (isStreaming_)
        status_->setStatus(kStatusStreaming, LabelColor::systemGreen);
    else
        status_->setStatus(kStatusMonitoring, LabelColor::systemOrange);
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
                auto self = weak.lock();
                if (!self) return;
                self->controls().addTranscription(text, isFinal);
                if (auto& archive = self->services_.transcriptArchive) archive->addTranscription(text, isFinal);
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
    // The preferences window switches transcription too; the session announces every change.
    speechStatusObserver_ = services_.notifications.addObserver(
        speech::kSpeechRecognitionStatusChanged, [weak = weak_from_this()](const core::Notification&) {
            if (auto self = weak.lock()) self->controls().setSpeechChecked(self->defaults_.boolForKey(self->speechEnabledKey_));
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
            c.status_->setStatus(kStatusStreaming, LabelColor::systemGreen);
        else
            c.status_->setStatus(kStatusMonitoring, LabelColor::systemOrange);
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
        c.status_->setStatus(kStatusAudioError, LabelColor::systemRed);
        c.status_->showAlert(
            {AlertStyle::warning, kAudioEngineError, "Failed to start audio monitoring: " + error + kTryAnotherDevice});
    }));
}

void ViewController::captureLost(std::uint64_t generation, const std::string& why) {
    if (generation != captureGeneration_) return;  // about a capture that was already replaced
    services_.capture.stop();
    captureOutage();
    if (std::exchange(captureOut_, true)) return;
    services_.log.print("❌ Audio capture lost: ", why);
    status_->setStatus(kStatusAudioError, LabelColor::systemRed);
    status_->showAlert({AlertStyle::warning, kAudioEngineError, "Audio capture stopped: " + why + kTryAnotherDevice});
}

void ViewController::toggleStreaming() {
    const bool streaming = !isStreaming_;
    isStreaming_ = streaming;
    if (auto& archive = services_.transcriptArchive) streaming ? archive->beginSession() : archive->endSession();
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
                self->controls().setSpeechChecked(false);
                self->showAlert("Authorization Required",
                                "Speech recognition requires permission. Please grant access in System Settings > "
                                "Privacy & Security > Speech Recognition.");
            }
        });
    });
}

void ViewController::deviceChanged(const std::optional<std::string>& title, const std::optional<std::string>& uniqueID) {
    if (!title) return;
    defaults_.setString(prefs::key::kSelectedAudioDevice, *title);
    services_.log.print("Device changed to: ", *title);

    // The identifier decides between devices of the same name; a title alone takes the first.
    std::optional<audio::CaptureDevice> device;
    for (int pass = uniqueID ? 0 : 1; pass < 2 && !device; ++pass) {
        for (auto& candidate : services_.devices.captureDevices()) {
            if (pass == 0 ? candidate.uniqueID == *uniqueID : candidate.displayName == *title) {
                device = std::move(candidate);
                break;
            }
        }
    }
    if (!device) {
        services_.log.print("Could not find device: ", *title);
        return;
    }
    services_.log.print("Selected device UID: ", device->uniqueID);
    // A choice made elsewhere (the command line) shows in the pop-up too.
    for (std::size_t i = 0; i < deviceItems_.size(); ++i) {
        if (deviceItems_[i].uniqueID == device->uniqueID) {
            controls().selectDeviceItem(i);
            break;
        }
    }

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
        c.status_->showAlert({style, title, message});
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
        controls().setListenerCount("👥 Active Listener: 1", LabelColor::systemGreen);
    else if (*count == 0)
        controls().setListenerCount("👥 Active Listeners: 0", LabelColor::secondaryLabel);
    else
        controls().setListenerCount("👥 Active Listeners: " + std::to_string(*count), LabelColor::systemGreen);
    updateDockBadge(*count);
}

void ViewController::updateDockBadge(std::int64_t count) {
    services_.log.print("🏷️ Updating dock badge: ", count);
    controls().setDockBadge(count < 1 ? std::string() : std::to_string(count));
}

void ViewController::cleanup() {
    removeObservers();
    if (services_.speech) services_.speech->stopRecognition();
    if (services_.transcriptArchive) services_.transcriptArchive->endSession();
    captureRetry_.cancel();
    if (services_.capture.isRunning()) services_.capture.stop();
    if (auto server = httpServer_.load()) server->stop();
}

void ViewController::processAudioBuffer(const audio::AudioBuffer& buffer) {
    if (!audio::isProcessable(buffer)) return;

    const float inputRms = audio::inputRms(buffer);
    const bool autoGain = autoGainEnabled_.load();
    const audio::GainDecision decision = audio::decideGain(inputRms, autoGain, currentGain_.load(), audio::kTargetRMS,
                                                           audio::gainSmoothingFor(buffer.frameLength));
    if (decision.updated) currentGain_.store(decision.currentGain);
    const float gain = decision.gain;
    const float outputRms = inputRms * gain;

    if (++audioDebugCounter_ % audio::kLevelLogInterval == 0)
        services_.log.line(audio::levelLogLine(autoGain, inputRms, gain, outputRms));

    if (const auto level = meterWindow_.add(outputRms, buffer.frameLength); level && controls_) {
        services_.mainQueue.async([weak = weak_from_this(), level = *level] {
            if (auto self = weak.lock()) self->controls().updateLevel(level);
        });
    }

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
