#pragma once

#include <cstdint>

namespace lumeno::core {

// The format of captured audio and of the stream announced to listeners: sample rate in Hz and
// channel count (the stream carries 1 or 2).
struct AudioFormat {
    double sampleRate = 0.0;
    std::uint32_t channelCount = 0;
    bool operator==(const AudioFormat&) const = default;
};

// Frames per capture buffer we ask the platform for (about 10.7 ms at 48 kHz). Every buffer
// waits for its last frame before anything is sent, so this is a floor on what a listener hears
// late; smaller blocks cost the server more per second (one send per listener per block), and
// this size keeps its CPU for 1,000 listeners well under half of a stock streaming server's on
// the same load (scripts/bench fanout --baseline icecast). The platform may deliver other
// lengths; the processing uses each buffer's actual length.
inline constexpr std::uint32_t kCaptureBlockFrames = 512;

}  // namespace lumeno::core
