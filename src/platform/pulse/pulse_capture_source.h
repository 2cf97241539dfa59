#pragma once

#include <chrono>
#include <memory>

#include "audio/capture_source.h"

namespace lumeno::platform {

// Capture and device control through a PulseAudio server (also PipeWire's PulseAudio service).
// Records float32 at the default source's own rate and channel map, in buffers of
// kCaptureBlockFrames frames delivered on libpulse's threaded main loop, which is the tap
// thread. Devices are the non-monitor sources; choosing one sets the server's default source.
// The server is connected on first use and again after it went away; every wait is bounded, so
// a dead or stuck server surfaces as an error, never as a hang; the window still must not
// wait for it, so after startup the calls come from the capture supervisor's worker. Thread:
// calls from one thread at a time (never from a handler); isRunning from any.
class PulseCaptureSource final : public audio::CaptureSource, public audio::DeviceDirectory {
public:
    static constexpr std::uint32_t kFramesPerBuffer = audio::kCaptureBlockFrames;

    explicit PulseCaptureSource(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    ~PulseCaptureSource() override;
    PulseCaptureSource(const PulseCaptureSource&) = delete;
    PulseCaptureSource& operator=(const PulseCaptureSource&) = delete;

    audio::FormatResult inputFormat() override;
    std::optional<audio::CaptureError> start(BufferHandler onBuffer, ErrorHandler onError) override;
    void stop() override;
    bool isRunning() const override;

    std::vector<audio::CaptureDevice> captureDevices() override;
    std::optional<std::uint32_t> systemDeviceId(const std::string& uniqueID) override;
    bool setDefaultInput(std::uint32_t deviceId) override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace lumeno::platform
