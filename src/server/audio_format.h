#pragma once

#include <cstdint>

namespace lumeno::server {

// The capture format as announced to listeners: sample rate in Hz and 1 or 2 channels.
struct AudioFormat {
    double sampleRate = 44100.0;
    std::uint32_t channelCount = 1;
    bool operator==(const AudioFormat&) const = default;
};

}  // namespace lumeno::server
