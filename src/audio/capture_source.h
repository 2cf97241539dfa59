#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "audio/audio_buffer.h"
#include "core/audio_format.h"

namespace lumeno::audio {

// The format the input delivers: its own rate, never resampled.
using core::AudioFormat;

using core::kCaptureBlockFrames;

struct CaptureError {
    std::string description;
};

struct FormatResult {
    std::optional<AudioFormat> format;
    std::string error;  // why there is no format
};

// A source of captured float buffers from the system's current default input (or a file).
// Thread: inputFormat, start and stop from one thread at a time (main at startup, then the
// capture supervisor's worker, as they may wait on a sound server); isRunning from any. The
// handlers run on the source's own thread (the tap thread), one buffer at a time, and must not
// call back into the source.
class CaptureSource {
public:
    using BufferHandler = std::function<void(const AudioBuffer& buffer)>;
    using ErrorHandler = std::function<void(const std::string& description)>;

    virtual ~CaptureSource() = default;

    // The format the input would be captured in now.
    virtual FormatResult inputFormat() = 0;
    // Starts delivering buffers of about kCaptureBlockFrames frames. On failure the source stays stopped.
    // onError reports, once, that a running capture was lost (the sound server or the device
    // went away); the source is stopped by then.
    virtual std::optional<CaptureError> start(BufferHandler onBuffer, ErrorHandler onError) = 0;
    // Stops delivery; no handler runs once stop returns. Harmless when not running.
    virtual void stop() = 0;
    virtual bool isRunning() const = 0;
};

struct CaptureDevice {
    std::string displayName;
    std::string uniqueID;  // stable across runs
};

// The system's capture devices and its default input. Thread: one at a time, as CaptureSource.
class DeviceDirectory {
public:
    virtual ~DeviceDirectory() = default;

    // In the system's order; an unreachable sound system gives none.
    virtual std::vector<CaptureDevice> captureDevices() = 0;
    // The system's id for a device identifier, absent when the system does not know it.
    virtual std::optional<std::uint32_t> systemDeviceId(const std::string& uniqueID) = 0;
    // Makes the device the default input, which is what a CaptureSource captures from.
    // False when the system refused.
    virtual bool setDefaultInput(std::uint32_t deviceId) = 0;
};

}  // namespace lumeno::audio
