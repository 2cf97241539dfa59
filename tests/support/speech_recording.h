#pragma once

#include <samplerate.h>

#include <cstdint>
#include <fstream>
#include <vector>

namespace lumeno::testing {

// `in`, sampled at `from` Hz, at `to` Hz.
inline std::vector<float> resampled(const std::vector<float>& in, double from, double to) {
    if (from == to) return in;
    std::vector<float> out(static_cast<std::size_t>(static_cast<double>(in.size()) * to / from) + 64);
    SRC_DATA data{in.data(), out.data(), static_cast<long>(in.size()), static_cast<long>(out.size()), 0, 0, 1, to / from};
    if (src_simple(&data, SRC_SINC_MEDIUM_QUALITY, 1) != 0) return {};
    out.resize(static_cast<std::size_t>(data.output_frames_gen));
    return out;
}

// Debian's test recording of "go forward ten meters" (pocketsphinx-testdata, 16 kHz mono) at
// `rate` Hz, with `before` and `after` seconds of silence around it. Empty when not installed.
inline std::vector<float> goForward(double rate = 16000.0, double before = 0.0, double after = 0.0) {
    std::ifstream in("/usr/share/pocketsphinx/test/data/goforward.raw", std::ios::binary);
    std::vector<float> speech;
    for (std::int16_t sample; in.read(reinterpret_cast<char*>(&sample), 2);)
        speech.push_back(static_cast<float>(sample) / 32768.0f);
    if (speech.empty()) return {};
    speech = resampled(speech, 16000.0, rate);
    speech.insert(speech.begin(), static_cast<std::size_t>(before * rate), 0.0f);
    speech.resize(speech.size() + static_cast<std::size_t>(after * rate), 0.0f);
    return speech;
}

}  // namespace lumeno::testing
