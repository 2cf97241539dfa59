#include "platform/sphinx/audio_handoff.h"

#include <algorithm>

namespace lumeno::platform {

AudioHandoff::AudioHandoff(std::size_t blockCount)
    : blockCount_(std::max<std::size_t>(blockCount, 2)), slots_(std::make_unique<Slot[]>(blockCount_)) {}

void AudioHandoff::reserve() {
    const std::uint64_t w = write_.load(std::memory_order_relaxed);
    std::uint64_t r = read_.load(std::memory_order_acquire);
    while (w - r >= blockCount_) {
        const std::uint32_t frames = slot(r).frames.load(std::memory_order_relaxed);
        if (read_.compare_exchange_weak(r, r + 1, std::memory_order_acq_rel, std::memory_order_acquire)) {
            droppedFrames_.fetch_add(frames, std::memory_order_relaxed);
            ++r;
        }
    }
}

void AudioHandoff::push(const audio::AudioBuffer& buffer) {
    if (!buffer.channels || buffer.channelCount == 0 || buffer.frameLength == 0) return;
    for (std::uint32_t c = 0; c < buffer.channelCount; ++c)
        if (!buffer.channels[c]) return;
    const float scale = 1.0f / static_cast<float>(buffer.channelCount);
    std::uint32_t done = 0;
    while (done < buffer.frameLength) {
        reserve();
        const std::uint64_t w = write_.load(std::memory_order_relaxed);
        Slot& target = slot(w);
        const std::uint32_t frames = std::min(kBlockFrames, buffer.frameLength - done);
        for (std::uint32_t f = 0; f < frames; ++f) {
            float sum = 0.0f;
            for (std::uint32_t c = 0; c < buffer.channelCount; ++c) sum += buffer.channels[c][done + f];
            target.samples[f].store(sum * scale, std::memory_order_relaxed);
        }
        target.frames.store(frames, std::memory_order_relaxed);
        target.sampleRate.store(buffer.sampleRate, std::memory_order_relaxed);
        write_.store(w + 1, std::memory_order_release);
        done += frames;
    }
}

bool AudioHandoff::pop(Block& out) {
    for (;;) {
        std::uint64_t r = read_.load(std::memory_order_acquire);
        if (r == write_.load(std::memory_order_acquire)) return false;
        Slot& source = slot(r);
        out.frames = std::min(source.frames.load(std::memory_order_relaxed), kBlockFrames);
        out.sampleRate = source.sampleRate.load(std::memory_order_relaxed);
        for (std::uint32_t f = 0; f < out.frames; ++f) out.samples[f] = source.samples[f].load(std::memory_order_relaxed);
        // Fails only when the producer dropped this block meanwhile; the copy may be torn then.
        if (read_.compare_exchange_strong(r, r + 1, std::memory_order_acq_rel, std::memory_order_acquire)) return true;
    }
}

}  // namespace lumeno::platform
