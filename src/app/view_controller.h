#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/audio_tap.h"
#include "app/capture_supervisor.h"
#include "app/listener_address.h"
#include "app/listener_server.h"
#include "app/main_view.h"
#include "app/qr_export.h"
#include "audio/capture_source.h"
#include "audio/speech_feed.h"
#include "core/background.h"
#include "core/log.h"
#include "core/main_queue.h"
#include "core/notification_center.h"
#include "midi/midi_controller.h"
#include "prefs/preferences_manager.h"
#include "speech/speech_recognition_manager.h"
#include "transcript/transcript_archive.h"

namespace lumeno::app {

// The application controller: starts every part in a fixed order, restores the operator's last
// session, switches streaming, auto-gain and transcription, follows the listener count and
// shuts everything down. It owns the listener server and wires the pieces that do the rest: the
// audio tap (the per-buffer path), the capture supervisor (capture start, outages, retries,
// device switching) and the QR export. It drives the window through its status and controls
// views (a headless run has no controls). Deferred steps hold it weakly, and no other thread
// ever holds it, so its last release is on main.
//
// Thread: main.
class ViewController : public std::enable_shared_from_this<ViewController> {
public:
    using ServerFactory = std::function<std::shared_ptr<ListenerServer>(std::optional<core::AudioFormat>)>;

    struct Services {
        core::MainQueue& mainQueue;
        core::BackgroundQueue& background;  // utility work: the QR image and its file
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
        // Where capture and device calls run after startup: a serial worker of their own in the
        // app, so a stuck sound server never freezes the window. Inline when empty (tests).
        CaptureSupervisor::Worker captureWorker;
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

    bool isStreaming() const { return tap_->isStreaming(); }
    bool autoGainEnabled() const { return tap_->autoGainEnabled(); }
    float currentGain() const { return tap_->currentGain(); }
    std::int64_t audioDebugCounter() const { return tap_->audioDebugCounter(); }
    const std::optional<core::AudioFormat>& audioFormat() const { return audioFormat_; }
    std::shared_ptr<ListenerServer> httpServer() const { return httpServer_; }
    const std::optional<std::string>& currentURL() const { return currentURL_; }
    bool transcriptPanelShown() const { return transcriptPanelShown_; }
    double originalWindowWidth() const { return originalWindowWidth_; }

private:
    ViewController(Services services, std::shared_ptr<StatusView> status, std::shared_ptr<ControlsView> controls,
                   Options options);
    void wire();

    ControlsView& controls();
    void setupUI();
    void updateDeviceList();
    void updateIPAddress();
    void setupAudioEngine();
    void loadPersistedState();
    void startServer();
    void setupMIDIControl();
    void setupObservers();
    void removeObservers();

    void captureStarted();
    void captureFailed(CaptureSupervisor::Failure failure, const std::string& description);
    void selectDevice(const audio::CaptureDevice& device);
    void restoreStreaming();
    void setStreaming(bool streaming);
    void showStreamingState();
    void speechSwitchChanged();
    void listenerCountChanged(const core::Notification& notification);
    void updateDockBadge(std::int64_t count);

    Services services_;
    std::shared_ptr<StatusView> status_;
    std::shared_ptr<ControlsView> controls_;
    Options options_;
    prefs::PreferencesStore& defaults_;

    std::shared_ptr<AudioTap> tap_;
    std::shared_ptr<CaptureSupervisor> supervisor_;
    std::shared_ptr<QrExport> qrExport_;

    std::optional<core::AudioFormat> audioFormat_;
    std::vector<DeviceItem> deviceItems_;  // as the pop-up lists them
    std::optional<std::string> currentURL_;
    bool transcriptPanelShown_ = false;
    double originalWindowWidth_ = 400.0;
    std::shared_ptr<ListenerServer> httpServer_;
    std::optional<core::ObserverToken> listenerCountObserver_;
    std::optional<core::ObserverToken> speechStatusObserver_;  // keeps the switch in step with Preferences
    std::shared_ptr<midi::MIDIController> midiController_;
    core::TimerHandle listenerCountTimer_;
    std::int64_t loggedListenerCount_ = 0;  // the count shown: a republished same count is not logged again
};

}  // namespace lumeno::app
