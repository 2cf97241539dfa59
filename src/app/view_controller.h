#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/listener_server.h"
#include "app/main_view.h"
#include "audio/capture_source.h"
#include "audio/speech_feed.h"
#include "core/background.h"
#include "core/log.h"
#include "core/main_queue.h"
#include "core/notification_center.h"
#include "midi/midi_controller.h"
#include "prefs/preferences_manager.h"
#include "speech/speech_recognition_manager.h"

namespace lumeno::app {

// The application controller: starts every part in a fixed order, restores the operator's last
// session, switches streaming and auto-gain, follows the listener count, moves capture to another
// input device and shuts everything down. It owns the listener server and drives the window
// through MainView. Deferred steps hold it weakly.
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
    };
    struct Options {
        // Streams from the streaming-restore moment on whatever was stored, without storing it.
        bool streamAtStartup = false;
    };

    static std::shared_ptr<ViewController> create(Services services, std::shared_ptr<MainView> view,
                                                  Options options);
    static std::shared_ptr<ViewController> create(Services services, std::shared_ptr<MainView> view) {
        return create(std::move(services), std::move(view), Options{});
    }
    ~ViewController();
    ViewController(const ViewController&) = delete;
    ViewController& operator=(const ViewController&) = delete;

    // The startup sequence; the window calls it once its controls exist.
    void viewDidLoad();

    // Actions of the window's controls (and of MIDI for streaming).
    void toggleStreaming();
    void toggleAutoGain(bool checked);
    void toggleSpeech(bool checked);
    void deviceChanged(const std::optional<std::string>& title);

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

private:
    ViewController(Services services, std::shared_ptr<MainView> view, Options options);

    void setupUI();
    void updateDeviceList();
    void setupAudioEngine();
    void loadPersistedState();
    void startServer();
    void setupMIDIControl();
    void setupObservers();
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
    std::shared_ptr<MainView> view_;
    Options options_;
    prefs::PreferencesStore& defaults_;
    const std::string speechEnabledKey_;  // kept as a string: read for every buffer without allocating

    std::optional<core::AudioFormat> audioFormat_;
    std::atomic<std::shared_ptr<ListenerServer>> httpServer_;
    std::optional<core::ObserverToken> listenerCountObserver_;
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
};

}  // namespace lumeno::app
