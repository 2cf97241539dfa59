#pragma once

#include <cstdint>
#include <vector>

#include "audio/audio_buffer.h"

namespace lumeno::testing {

// A captured buffer at 48 kHz: given planar channels, or a constant value (so the RMS is its
// magnitude) over one 4096-frame buffer by default.
struct SampleBuffer {
    explicit SampleBuffer(std::vector<std::vector<float>> channels) : data(std::move(channels)) {
        for (auto& c : data) pointers.push_back(c.data());
        const auto frames = static_cast<std::uint32_t>(data[0].size());
        buffer = audio::AudioBuffer{pointers.data(), static_cast<std::uint32_t>(data.size()), frames, frames, 48000.0};
    }
    SampleBuffer(float value, std::size_t channels = 1, std::size_t frames = 4096)
        : SampleBuffer(std::vector<std::vector<float>>(channels, std::vector<float>(frames, value))) {}

    std::vector<std::vector<float>> data;
    std::vector<const float*> pointers;
    audio::AudioBuffer buffer;
};

}  // namespace lumeno::testing
