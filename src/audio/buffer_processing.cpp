#include "audio/buffer_processing.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace lumeno::audio {

bool isProcessable(const AudioBuffer& buffer) {
    if (buffer.frameLength == 0 || buffer.frameCapacity == 0 || buffer.frameCapacity < buffer.frameLength) return false;
    if (buffer.channelCount != 1 && buffer.channelCount != 2) return false;
    if (!(buffer.sampleRate > 0.0) || buffer.channels == nullptr) return false;
    for (std::uint32_t c = 0; c < buffer.channelCount; ++c)
        if (buffer.channels[c] == nullptr) return false;
    return true;
}

float inputRms(const AudioBuffer& buffer) {
    const float* samples = buffer.channels[0];
    float sum = 0.0f;
    for (std::uint32_t i = 0; i < buffer.frameLength; ++i) {
        const float s = samples[i];
        if (std::isfinite(s)) sum += s * s;
    }
    return std::sqrt(sum / static_cast<float>(buffer.frameLength));
}

GainDecision decideGain(float inputRms, bool autoGainEnabled, float currentGain, float targetRMS,
                        float smoothingFactor) {
    GainDecision decision;
    decision.currentGain = currentGain;
    if (!autoGainEnabled || !(inputRms > kAutoGainFloorRMS)) return decision;

    const float desired = std::clamp(targetRMS / inputRms, kMinGain, kMaxGain);
    decision.currentGain = smoothingFactor * currentGain + (1.0f - smoothingFactor) * desired;
    decision.updated = true;
    decision.gain = decision.currentGain;
    if (inputRms * decision.gain > kOutputCeilingRMS) decision.gain = kOutputCeilingRMS / inputRms;
    return decision;
}

float displayLevel(float outputRms) { return std::min(outputRms * kDisplayScale, 1.0f); }

float gainSmoothingFor(std::uint32_t frames) {
    if (frames == kTimingReferenceFrames) return kGainSmoothingFactor;
    return std::pow(kGainSmoothingFactor, static_cast<float>(frames) / static_cast<float>(kTimingReferenceFrames));
}

std::optional<float> MeterWindow::add(float outputRms, std::uint32_t frames) {
    energy_ += static_cast<double>(outputRms) * outputRms * frames;
    frames_ += frames;
    if (frames_ < kMeterWindowFrames) return std::nullopt;
    const auto rms = static_cast<float>(std::sqrt(energy_ / frames_));
    energy_ = 0;
    frames_ = 0;
    return displayLevel(rms);
}

std::string levelLogLine(bool autoGainEnabled, float inputRms, float gain, float outputRms) {
    char text[128];
    if (autoGainEnabled) {
        std::snprintf(text, sizeof text, "🔊 Audio level: Input RMS=%.4f, Gain=%.2fx, Output RMS=%.4f",
                      static_cast<double>(inputRms), static_cast<double>(gain), static_cast<double>(outputRms));
    } else {
        std::snprintf(text, sizeof text, "🔊 Audio level: RMS=%.4f, Display=%.4f", static_cast<double>(outputRms),
                      static_cast<double>(displayLevel(outputRms)));
    }
    return text;
}

namespace {

// Samples are converted into a small block on the stack and then copied out: with the output
// as a byte array the compiler must assume it may alias the input and will not vectorise.
constexpr std::size_t kBlockSamples = 512;

void writeBlock(const std::int16_t* block, std::size_t count, std::uint8_t* out) {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(out, block, count * sizeof(std::int16_t));
    } else {
        for (std::size_t i = 0; i < count; ++i) {
            const auto bits = static_cast<std::uint16_t>(block[i]);
            out[2 * i] = static_cast<std::uint8_t>(bits & 0xFF);
            out[2 * i + 1] = static_cast<std::uint8_t>(bits >> 8);
        }
    }
}

}  // namespace

void convertToWireFormat(const AudioBuffer& buffer, float gain, std::uint8_t* out) {
    const std::size_t frames = buffer.frameLength;
    const std::size_t channels = buffer.channelCount;
    const std::size_t framesPerBlock = kBlockSamples / channels;
    std::int16_t block[kBlockSamples];
    for (std::size_t first = 0; first < frames; first += framesPerBlock) {
        const std::size_t count = std::min(framesPerBlock, frames - first);
        if (channels == 1) {
            const float* mono = buffer.channels[0] + first;
            for (std::size_t i = 0; i < count; ++i) block[i] = toWireSample(gain * mono[i]);
        } else if (channels == 2) {
            const float* left = buffer.channels[0] + first;
            const float* right = buffer.channels[1] + first;
            for (std::size_t i = 0; i < count; ++i) {
                block[2 * i] = toWireSample(gain * left[i]);
                block[2 * i + 1] = toWireSample(gain * right[i]);
            }
        } else {
            for (std::size_t i = 0; i < count; ++i)
                for (std::size_t c = 0; c < channels; ++c)
                    block[i * channels + c] = toWireSample(gain * buffer.channels[c][first + i]);
        }
        writeBlock(block, count * channels, out + 2 * first * channels);
    }
}

core::SharedBytes makeWireChunk(const AudioBuffer& buffer, float gain) {
    auto bytes = std::make_shared<std::vector<std::uint8_t>>(static_cast<std::size_t>(buffer.frameLength) *
                                                             buffer.channelCount * 2);
    convertToWireFormat(buffer, gain, bytes->data());
    return bytes;
}

std::unique_ptr<FloatBuffer> gainAdjustedCopy(const AudioBuffer& buffer, float gain) {
    if (!isProcessable(buffer)) return nullptr;
    auto copy = std::make_unique<FloatBuffer>(buffer.channelCount, buffer.frameCapacity, buffer.sampleRate);
    copy->setFrameLength(buffer.frameLength);
    for (std::uint32_t c = 0; c < buffer.channelCount; ++c) {
        const float* in = buffer.channels[c];
        float* out = copy->channel(c);
        for (std::uint32_t i = 0; i < buffer.frameLength; ++i) out[i] = std::clamp(gain * in[i], -1.0f, 1.0f);
    }
    return copy;
}

}  // namespace lumeno::audio
