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
    std::string samples;                 // the data chunk's bytes
    bool extensible = false;             // WAVE_FORMAT_EXTENSIBLE carrying formatTag in its GUID
    std::string chunksBeforeFormat;      // raw chunks placed before "fmt "
    std::uint32_t dataSizeOverride = 0;  // non-zero: the data chunk claims this size
};

inline std::string le(std::uint32_t value, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    return out;
}

// A chunk with its size (or the one it claims), padded to an even length unless it claims one.
inline std::string chunk(const char* id, const std::string& body, std::uint32_t claimedSize = 0) {
    return std::string(id, 4) + le(claimedSize ? claimedSize : static_cast<std::uint32_t>(body.size()), 4) + body +
           (body.size() % 2 && !claimedSize ? std::string(1, '\0') : "");
}

inline std::string makeWav(const WavSpec& s) {
    const std::uint32_t blockAlign = s.channels * (s.bits / 8u);
    std::string fmt = le(s.extensible ? 0xFFFE : s.formatTag, 2) + le(s.channels, 2) + le(s.rate, 4) +
                      le(s.rate * blockAlign, 4) + le(blockAlign, 2) + le(s.bits, 2);
    if (s.extensible)
        fmt += le(22, 2) + le(s.bits, 2) + le(0, 4) + le(s.formatTag, 2) +
               std::string("\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 14);
    const std::string body = "WAVE" + s.chunksBeforeFormat + chunk("fmt ", fmt) + chunk("data", s.samples, s.dataSizeOverride);
    return "RIFF" + le(static_cast<std::uint32_t>(body.size()), 4) + body;
}

inline std::string pcm16(const std::vector<std::int16_t>& samples) {
    std::string out;
    for (auto s : samples) out += le(static_cast<std::uint16_t>(s), 2);
    return out;
}

inline std::string float32(const std::vector<float>& samples) {
    std::string out;
    for (float s : samples) {
        std::uint32_t bits;
        std::memcpy(&bits, &s, 4);
        out += le(bits, 4);
    }
    return out;
}

}  // namespace lumeno::testing
