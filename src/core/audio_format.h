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

// Frames per capture buffer we ask the platform for: 10.7 ms at 48 kHz. Every buffer waits for
// its last frame before anything is sent, so the block is a floor on how late listeners hear the
// room, under the listener page's own buffer. The price is one send per listener per block, and
// the server's CPU grows with the block rate (scripts/bench fanout --frames 512,1024,4096
// --baseline icecast compares). The platform may deliver other lengths; the processing uses each
// buffer's actual length.
inline constexpr std::uint32_t kCaptureBlockFrames = 512;

}  // namespace lumeno::core
