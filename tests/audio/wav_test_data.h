#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace lumeno::testing {

// Builds WAV bytes field by field, so tests can also build damaged ones.
struct WavSpec {
    std::uint16_t formatTag = 1;
    std::uint16_t channels = 1;
    std::uint32_t rate = 8000;
    std::uint16_t bits = 16;
    std::string samples;               // the data chunk's bytes
    bool extensible = false;           // WAVE_FORMAT_EXTENSIBLE carrying formatTag in its GUID
    std::string chunksBeforeFormat;    // raw chunks placed before "fmt "
    std::uint32_t dataSizeOverride = 0;  // non-zero: the data chunk claims this size
};

inline void putLE(std::string& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

inline std::string chunk(const char* id, const std::string& body) {
    std::string out(id, 4);
    putLE(out, static_cast<std::uint32_t>(body.size()), 4);
    out += body;
    if (body.size() % 2) out.push_back('\0');
    return out;
}

inline std::string makeWav(const WavSpec& spec) {
    std::string fmt;
    putLE(fmt, spec.extensible ? 0xFFFE : spec.formatTag, 2);
    putLE(fmt, spec.channels, 2);
    putLE(fmt, spec.rate, 4);
    const std::uint32_t blockAlign = spec.channels * (spec.bits / 8u);
    putLE(fmt, spec.rate * blockAlign, 4);
    putLE(fmt, blockAlign, 2);
    putLE(fmt, spec.bits, 2);
    if (spec.extensible) {
        putLE(fmt, 22, 2);
        putLE(fmt, spec.bits, 2);
        putLE(fmt, 0, 4);
        putLE(fmt, spec.formatTag, 2);
        fmt += std::string("\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 14);
    }
    std::string data = chunk("data", spec.samples);
    if (spec.dataSizeOverride) {
        data = "data";
        putLE(data, spec.dataSizeOverride, 4);
        data += spec.samples;
    }
    const std::string body = "WAVE" + spec.chunksBeforeFormat + chunk("fmt ", fmt) + data;
    std::string out = "RIFF";
    putLE(out, static_cast<std::uint32_t>(body.size()), 4);
    return out + body;
}

inline std::string pcm16(const std::vector<std::int16_t>& samples) {
    std::string out;
    for (auto s : samples) putLE(out, static_cast<std::uint16_t>(s), 2);
    return out;
}

inline std::string float32(const std::vector<float>& samples) {
    std::string out;
    for (float s : samples) {
        std::uint32_t bits;
        std::memcpy(&bits, &s, 4);
        putLE(out, bits, 4);
    }
    return out;
}

}  // namespace lumeno::testing
