#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/listener_address.h"
#include "app/listener_server.h"
#include "app/main_view.h"
#include "audio/buffer_processing.h"
#include "audio/capture_source.h"
#include "audio/speech_feed.h"
#include "core/background.h"
#include "core/log.h"
#include "core/main_queue.h"
#include "core/notification_center.h"
#include "midi/midi_controller.h"
#include "prefs/preferences_manager.h"
#include "qr/qr_code.h"
#include "speech/speech_recognition_manager.h"
#include "transcript/transcript_archive.h"

namespace lumeno::app {

// The application controller: starts every part in a fixed order, restores the operator's last
// session, switches streaming and auto-gain, follows the listener count, moves capture to another
// input device and shuts everything down. It owns the listener server and drives the window
// through its status and controls views (a headless run has no controls). Deferred steps hold
// it weakly.
//
// Thread: main, except processAudioBuffer, which runs on the capture source's tap thread and
// shares only atomics (the streaming and auto-gain switches, the gain, the buffer counter).
class ViewController : public std::enable_shared_from_this<ViewController> {
public:
    using ServerFactory = std::function<std::shared_ptr<ListenerServer>(std::optional<core::AudioFormat>)>;

    struct Services {
        core::MainQueue& mainQueue;
        core::BackgroundQueue& background;  // utility work: the periodic listener count
        core::NotificationCenter& notifications;
        core::Logger& log;
        prefs::PreferencesManager& preferences;
        audio::CaptureSource& capture;
        audio::DeviceDirectory& devices;
        ServerFactory makeServer;
        // Live transcription's audio input; absent until a speech session exists. Read on the
        // tap thread, so it is fixed at construction.
        audio::SpeechFeed* speechFeed = nullptr;
        // The process's MIDI controller, created on first use; without it there is no MIDI step.
        std::function<std::shared_ptr<midi::MIDIController>()> midiController;
        // The live captioning session behind the speech switch; absent in builds without one.
        std::shared_ptr<speech::SpeechRecognitionManager> speech;
        // Where listeners reach the server: its port, and the address it is bound to.
        std::uint16_t listenerPort = 8080;
        std::string bindAddress = "0.0.0.0";
        // The machine's interface addresses; the system's when empty.
        std::function<std::vector<InterfaceAddress>(bool& failed)> networkInterfaces;
        // Keeps each streaming session's final captions; absent: nothing is kept.
        std::shared_ptr<transcript::TranscriptArchive> transcriptArchive;
    };
    struct Options {
        // Streams from the streaming-restore moment on whatever was stored, without storing it.
        bool streamAtStartup = false;
    };

    // Controls may be absent: a headless run shows only the status and alerts.
    static std::shared_ptr<ViewController> create(Services services, std::shared_ptr<StatusView> status,
                                                  std::shared_ptr<ControlsView> controls, Options options);
    static std::shared_ptr<ViewController> create(Services services, std::shared_ptr<MainView> view,
                                                  Options options) {
        return create(std::move(services), view, view, options);
    }
    static std::shared_ptr<ViewController> create(Services services, std::shared_ptr<MainView> view) {
        return create(std::move(services), view, view, Options{});
    }
    ~ViewController();
    ViewController(const ViewController&) = delete;
    ViewController& operator=(const ViewController&) = delete;

    // The startup sequence; the window calls it once its controls exist.
    void viewDidLoad();
    // The window is on screen at this width: the width the transcript panel closes back to.
    void viewDidAppear(double windowWidth);

    // Actions of the window's controls (and of MIDI for streaming).
    void toggleStreaming();
    void toggleAutoGain(bool checked);
    void toggleSpeech(bool checked);
    // The item picked in the device pop-up; the identifier, when known, tells apart devices
    // that share a title.
    void deviceChanged(const std::optional<std::string>& title, const std::optional<std::string>& uniqueID = {});
    void generateQRCode();
    void toggleTranscriptPanel();

    // Schedules a modal alert; the warning style only for the title "Error".
    void showAlert(std::string title, std::string message);

    // At termination: observers off, speech stopped, capture stopped, server stopped.
    void cleanup();

    // One captured buffer. Thread: audio.
    void processAudioBuffer(const audio::AudioBuffer& buffer);

    bool isStreaming() const { return isStreaming_.load(); }
    bool autoGainEnabled() const { return autoGainEnabled_.load(); }
    float currentGain() const { return currentGain_.load(); }
    std::int64_t audioDebugCounter() const { return audioDebugCounter_.load(); }
    const std::optional<core::AudioFormat>& audioFormat() const { return audioFormat_; }
    std::shared_ptr<ListenerServer> httpServer() const { return httpServer_.load(); }
    const std::optional<std::string>& currentURL() const { return currentURL_; }
    bool transcriptPanelShown() const { return transcriptPanelShown_; }
    double originalWindowWidth() const { return originalWindowWidth_; }

private:
    ViewController(Services services, std::shared_ptr<StatusView> status, std::shared_ptr<ControlsView> controls,
                   Options options);

    ControlsView& controls();
    void setupUI();
    void updateDeviceList();
    void updateIPAddress();
    void saveQRCode(std::shared_ptr<const qr::QRImage> image);
    void writeQRCodePNG(const qr::QRImage& image, const std::filesystem::path& destination);
    void setupAudioEngine();
    void loadPersistedState();
    void startServer();
    void setupMIDIControl();
    void setupObservers();
    void removeObservers();
    void startAudioMonitoring();

    void audioStartFailed(const std::string& error);
    void captureLost(std::uint64_t generation, const std::string& why);
    void captureOutage();
    void restoreStreaming();
    void showStreamingState();
    void listenerCountChanged(const core::Notification& notification);
    void updateDockBadge(std::int64_t count);
    void publishListenerCount();

    Services services_;
    std::shared_ptr<StatusView> status_;
    std::shared_ptr<ControlsView> controls_;
    Options options_;
    prefs::PreferencesStore& defaults_;
    const std::string speechEnabledKey_;  // kept as a string: read for every buffer without allocating

    std::optional<core::AudioFormat> audioFormat_;
    std::vector<DeviceItem> deviceItems_;  // as the pop-up lists them
    std::optional<std::string> currentURL_;
    bool transcriptPanelShown_ = false;
    double originalWindowWidth_ = 400.0;
    std::atomic<std::shared_ptr<ListenerServer>> httpServer_;
    std::optional<core::ObserverToken> listenerCountObserver_;
    std::optional<core::ObserverToken> speechStatusObserver_;  // keeps the switch in step with Preferences
    std::shared_ptr<midi::MIDIController> midiController_;
    core::TimerHandle listenerCountTimer_;
    std::uint64_t captureGeneration_ = 0;  // tells a loss report of an earlier capture from the current one
    // Set while capture is out and retried by itself: one line and one alert per outage.
    bool captureOut_ = false;
    core::TimerHandle captureRetry_;

    std::atomic<bool> isStreaming_{false};
    std::atomic<bool> autoGainEnabled_{false};
    std::atomic<float> currentGain_{1.0f};
    std::atomic<std::int64_t> audioDebugCounter_{0};
    audio::MeterWindow meterWindow_;  // tap thread only
};

}  // namespace lumeno::app
