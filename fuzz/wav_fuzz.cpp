// Any bytes as a WAV file: opening either refuses with a message or gives a file whose every
// frame can be read.
#include <cstddef>
#include <cstdint>
#include <string>

#include "audio/wav_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using lumeno::audio::WavFile;
    auto opened = WavFile::fromBytes(std::string(reinterpret_cast<const char*>(data), size), "fuzz.wav");
    if (!opened.file) {
        if (opened.error.empty()) __builtin_trap();
        return 0;
    }
    WavFile& file = *opened.file;
    lumeno::audio::FloatBuffer buffer(file.format().channelCount, 256, file.format().sampleRate);
    std::string error;
    for (std::uint64_t frame = 0; frame < file.frameCount(); frame += 256) {
        const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(256, file.frameCount() - frame));
        if (!file.readFrames(frame, count, buffer, 0, error)) __builtin_trap();  // the header promised them
    }
    return 0;
}
