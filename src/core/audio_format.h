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

}  // namespace lumeno::core
