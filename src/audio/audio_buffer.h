#pragma once

#include <cstdint>
#include <vector>

namespace lumeno::audio {

// One captured buffer as the capture path sees it: planar 32-bit float samples, one array per
// channel. A view only: the producer owns the samples for the duration of the call.
struct AudioBuffer {
    const float* const* channels = nullptr;  // channelCount arrays; null when there is no float data
    std::uint32_t channelCount = 0;
    std::uint32_t frameLength = 0;    // valid frames in each array
    std::uint32_t frameCapacity = 0;  // frames each array can hold
    double sampleRate = 0.0;
};

// Planar float samples owned by the producer (capture back-ends, the gain-adjusted speech copy).
// Allocated once at its capacity, so filling it on the audio thread never allocates.
class FloatBuffer {
public:
    FloatBuffer(std::uint32_t channelCount, std::uint32_t frameCapacity, double sampleRate)
        : samples_(static_cast<std::size_t>(channelCount) * frameCapacity),
          pointers_(channelCount),
          channelCount_(channelCount),
          frameCapacity_(frameCapacity),
          sampleRate_(sampleRate) {
        for (std::uint32_t c = 0; c < channelCount; ++c)
            pointers_[c] = samples_.data() + static_cast<std::size_t>(c) * frameCapacity;
    }

    float* channel(std::uint32_t index) { return samples_.data() + static_cast<std::size_t>(index) * frameCapacity_; }
    const float* channel(std::uint32_t index) const {
        return samples_.data() + static_cast<std::size_t>(index) * frameCapacity_;
    }
    std::uint32_t channelCount() const { return channelCount_; }
    std::uint32_t frameCapacity() const { return frameCapacity_; }
    std::uint32_t frameLength() const { return frameLength_; }
    void setFrameLength(std::uint32_t frames) { frameLength_ = frames < frameCapacity_ ? frames : frameCapacity_; }
    double sampleRate() const { return sampleRate_; }

    AudioBuffer view() const {
        return AudioBuffer{channelCount_ ? pointers_.data() : nullptr, channelCount_, frameLength_, frameCapacity_,
                           sampleRate_};
    }

private:
    std::vector<float> samples_;
    std::vector<const float*> pointers_;
    std::uint32_t channelCount_;
    std::uint32_t frameCapacity_;
    std::uint32_t frameLength_ = 0;
    double sampleRate_;
};

}  // namespace lumeno::audio
