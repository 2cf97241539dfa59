#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "app/listener_server.h"
#include "audio/buffer_processing.h"
#include "audio/capture_source.h"
#include "audio/speech_feed.h"
#include "core/audio_format.h"
#include "core/log.h"
#include "core/main_queue.h"

namespace lumeno::app {

// The per-buffer audio path: level, auto-gain, the meter, the wire chunk for listeners and the
// speech feed. It reads only its own atomics, which the main thread sets when a switch changes:
// never the settings store (whose reads lock and may free a superseded map), never the
// controller, so neither the store's writer nor the controller's last release can land on the
// tap thread.
//
// Thread: processAudioBuffer and the handler on the capture source's tap thread; announceFormat
// on the capture supervisor's worker; everything else on main.
class AudioTap : public std::enable_shared_from_this<AudioTap> {
public:
    struct Services {
        core::MainQueue& mainQueue;
        core::Logger& log;
        // Live transcription's audio input; absent until a speech session exists.
        audio::SpeechFeed* speechFeed = nullptr;
        // Shows a meter level; runs on main. Absent: no meter (a run without a window).
        std::function<void(float level)> showLevel;
    };

    static std::shared_ptr<AudioTap> create(Services services);
    AudioTap(const AudioTap&) = delete;
    AudioTap& operator=(const AudioTap&) = delete;

    // What the capture source calls per buffer. It holds the tap, not the controller.
    audio::CaptureSource::BufferHandler handler();
    void processAudioBuffer(const audio::AudioBuffer& buffer);

    // Tells the server the format of the buffers that follow; false without a server.
    bool announceFormat(const core::AudioFormat& format);

    void setServer(std::shared_ptr<ListenerServer> server) { server_.store(std::move(server)); }
    std::shared_ptr<ListenerServer> server() const { return server_.load(); }
    void setStreaming(bool streaming) { isStreaming_.store(streaming); }
    void setAutoGain(bool enabled) { autoGainEnabled_.store(enabled); }
    void resetGain() { currentGain_.store(1.0f); }
    void setSpeechEnabled(bool enabled) { speechEnabled_.store(enabled); }

    bool isStreaming() const { return isStreaming_.load(); }
    bool autoGainEnabled() const { return autoGainEnabled_.load(); }
    float currentGain() const { return currentGain_.load(); }
    std::int64_t audioDebugCounter() const { return audioDebugCounter_.load(); }

private:
    explicit AudioTap(Services services) : services_(std::move(services)) {}

    Services services_;
    std::atomic<std::shared_ptr<ListenerServer>> server_;
    std::atomic<bool> isStreaming_{false};
    std::atomic<bool> autoGainEnabled_{false};
    std::atomic<bool> speechEnabled_{false};
    std::atomic<float> currentGain_{1.0f};
    std::atomic<std::int64_t> audioDebugCounter_{0};
    audio::MeterWindow meterWindow_;  // tap thread only
};

}  // namespace lumeno::app
