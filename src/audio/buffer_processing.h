#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio/audio_buffer.h"
#include "audio/capture_source.h"
#include "core/bytes.h"

namespace lumeno::audio {

inline constexpr float kTargetRMS = 0.15f;
inline constexpr float kGainSmoothingFactor = 0.95f;
inline constexpr float kMinGain = 0.5f;
inline constexpr float kMaxGain = 4.0f;
// Quieter input is treated as silence: boosting it would only raise the noise floor.
inline constexpr float kAutoGainFloorRMS = 0.001f;
// Auto-gain never pushes a buffer's output RMS above this, so loud passages do not clip.
inline constexpr float kOutputCeilingRMS = 0.95f;
inline constexpr float kDisplayScale = 3.0f;

// The level line, the gain smoothing and the meter were tuned when every buffer was 4096 frames
// (85 ms at 48 kHz). They keep that timing with smaller blocks by counting frames of that size.
inline constexpr std::uint32_t kTimingReferenceFrames = 4096;
// One level line per 100 reference buffers, about every 8.5 s at 48 kHz: often enough to see
// the input is alive, rare enough not to flood the log. Counted in buffers, which the capture
// sources deliver at the block size.
inline constexpr int kLevelLogInterval = static_cast<int>(100 * kTimingReferenceFrames / kCaptureBlockFrames);
// The meter gets one level per this many frames, as the RMS over all of them: the same update
// rate and averaging as with 4096-frame buffers, so its peak marker (which sinks per update)
// and its steadiness are unchanged, and the main thread is not woken for every small block.
inline constexpr std::uint32_t kMeterWindowFrames = kTimingReferenceFrames;

// Whether the capture path handles the buffer at all; anything else is dropped without a word.
bool isProcessable(const AudioBuffer& buffer);

// RMS of channel 0. Non-finite samples add nothing but still count in the divisor, so one
// corrupt sample cannot turn the meter and the gain into NaN.
float inputRms(const AudioBuffer& buffer);

struct GainDecision {
    float gain = 1.0f;         // applied to this buffer
    float currentGain = 1.0f;  // the smoothed gain to keep for the next buffer
    bool updated = false;      // whether currentGain changed
};

// Auto-gain for one buffer: smooth towards targetRMS / inputRms within [kMinGain, kMaxGain], then
// cap this buffer's gain so the output stays under the ceiling without lowering the smoothed gain.
GainDecision decideGain(float inputRms, bool autoGainEnabled, float currentGain, float targetRMS = kTargetRMS,
                        float smoothingFactor = kGainSmoothingFactor);

// The smoothing factor for a buffer of `frames` frames: kGainSmoothingFactor per reference
// buffer, so the gain settles in the same time whatever the buffers' length.
float gainSmoothingFor(std::uint32_t frames);

// Gathers output level over buffers and yields the meter's level once per kMeterWindowFrames.
// Thread: audio.
class MeterWindow {
public:
    // The display level of the RMS over the window when this buffer completes it.
    std::optional<float> add(float outputRms, std::uint32_t frames);

private:
    double energy_ = 0;  // sum of squares over the frames so far
    std::uint32_t frames_ = 0;
};

// The meter's level for an output RMS: scaled up so speech moves it visibly, capped at 1.0.
float displayLevel(float outputRms);

// The periodic "🔊 Audio level: ..." line.
std::string levelLogLine(bool autoGainEnabled, float inputRms, float gain, float outputRms);

// Full scale is 32767 both ways, so -1.0 gives -32767 and the scale is symmetric. A sample that
// is not finite is silence, never full-scale DC. Written as three selects so the loop vectorises.
inline std::int16_t toWireSample(float value) {
    const float finite = std::fabs(value) <= std::numeric_limits<float>::max() ? value : 0.0f;
    const float high = finite < 1.0f ? finite : 1.0f;
    const float limited = high > -1.0f ? high : -1.0f;
    return static_cast<std::int16_t>(static_cast<std::int32_t>(limited * 32767.0f));
}

// Writes frameLength × channelCount signed 16-bit little-endian samples, interleaved, to `out`.
void convertToWireFormat(const AudioBuffer& buffer, float gain, std::uint8_t* out);
// The same into a new chunk allocated once at its final size.
core::SharedBytes makeWireChunk(const AudioBuffer& buffer, float gain);

// The buffer with `gain` applied and limited to [-1, 1], for consumers that take floats.
std::unique_ptr<FloatBuffer> gainAdjustedCopy(const AudioBuffer& buffer, float gain);

}  // namespace lumeno::audio
