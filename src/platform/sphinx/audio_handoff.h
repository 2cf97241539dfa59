#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

#include "audio/audio_buffer.h"
#include "core/audio_format.h"

namespace lumeno::platform {

// Hands captured audio from the tap thread to the decoder thread: mono blocks in a fixed ring.
// The tap thread never waits and never allocates; when the decoder has fallen a whole ring
// behind, the oldest blocks are dropped (and counted) to make room, so speech that is still
// going on is what gets decoded.
//
// One producer, one consumer. The producer may drop a block the consumer is copying; the
// consumer then sees its claim fail and discards the copy, which is why the samples are atomics.
// Thread: push on the audio thread; pop and takeDroppedFrames on the decoder thread.
class AudioHandoff {
public:
    // One capture buffer per block: the ring is sized in blocks from seconds of audio, so a
    // block larger than the buffers would leave most of each slot, and of those seconds, unused.
    static constexpr std::uint32_t kBlockFrames = core::kCaptureBlockFrames;

    struct Block {
        double sampleRate = 0.0;
        std::uint32_t frames = 0;
        std::array<float, kBlockFrames> samples{};
    };

    explicit AudioHandoff(std::size_t blockCount);
    AudioHandoff(const AudioHandoff&) = delete;
    AudioHandoff& operator=(const AudioHandoff&) = delete;

    // Mixes the buffer down to mono (the mean of its channels) and queues it.
    void push(const audio::AudioBuffer& buffer);
    // Moves the oldest queued block into `out`; false when nothing is queued.
    bool pop(Block& out);
    // Frames dropped since the last call.
    std::uint64_t takeDroppedFrames() { return droppedFrames_.exchange(0); }

    std::size_t capacity() const { return blockCount_; }

private:
    struct Slot {
        std::atomic<double> sampleRate{0.0};
        std::atomic<std::uint32_t> frames{0};
        std::array<std::atomic<float>, kBlockFrames> samples{};
    };

    Slot& slot(std::uint64_t index) { return slots_[index % blockCount_]; }
    // Makes the slot at write_ free, dropping the oldest block when the ring is full.
    void reserve();

    const std::size_t blockCount_;
    std::unique_ptr<Slot[]> slots_;
    // Monotonic block counts: [read_, write_) are queued.
    std::atomic<std::uint64_t> read_{0};
    std::atomic<std::uint64_t> write_{0};
    std::atomic<std::uint64_t> droppedFrames_{0};
};

}  // namespace lumeno::platform
