#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "audio/capture_source.h"

namespace lumeno::testing {

// Starts a capture source (a back-end or the file input) and keeps what it delivers, for waits
// from the test thread: each buffer's shape, channel 0's samples, its peak over every channel
// and when it came; or why the capture was lost. Thread: any.
struct CaptureRecorder {
    struct Buffer {
        std::uint32_t channels = 0, frames = 0;
        double rate = 0;
        std::vector<float> first;  // channel 0
        float peak = 0;
        std::chrono::steady_clock::duration at{};  // since start
    };

    std::optional<audio::CaptureError> start(audio::CaptureSource& source) {
        started = std::chrono::steady_clock::now();
        return source.start(
            [this](const audio::AudioBuffer& b) {
                Buffer kept{b.channelCount, b.frameLength, b.sampleRate, {b.channels[0], b.channels[0] + b.frameLength}, 0,
                            std::chrono::steady_clock::now() - started};
                for (std::uint32_t c = 0; c < b.channelCount; ++c)
                    for (std::uint32_t i = 0; i < b.frameLength; ++i) kept.peak = std::max(kept.peak, std::fabs(b.channels[c][i]));
                std::lock_guard lock(mutex);
                buffers.push_back(std::move(kept));
                changed.notify_all();
            },
            [this](const std::string& why) {
                std::lock_guard lock(mutex);
                lost = why;
                changed.notify_all();
            });
    }
    // Until `count` buffers have come or the capture was lost (bounded).
    bool waitFor(std::size_t count) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] { return buffers.size() >= count || !lost.empty(); });
    }

    std::chrono::steady_clock::time_point started;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Buffer> buffers;
    std::string lost;
};

}  // namespace lumeno::testing
