#include "audio/wav_file.h"

#include <gtest/gtest.h>

#include "wav_test_data.h"

using namespace lumeno::audio;
using namespace lumeno::testing;

// 16-bit PCM and 32-bit float become planar floats over full scale; a chunk of odd size before
// "fmt " is followed by a pad byte; a data size left as a streaming placeholder is cut to the
// whole frames present.
TEST(WavFileTest, ReadsEachEncodingToPlanarFloats) {
    using Planar = std::vector<std::vector<float>>;
    struct Case {
        std::string bytes;
        lumeno::core::AudioFormat format;
        Planar samples;
    };
    const Case cases[] = {
        {makeWav({.channels = 2, .rate = 44100, .samples = pcm16({16384, -32768, 32767, 0})}), {44100, 2},
         {{0.5f, 32767.0f / 32768.0f}, {-1.0f, 0.0f}}},
        {makeWav({.formatTag = 3, .bits = 32, .samples = float32({0.25f, -0.75f, 1.5f}), .extensible = true,
                  .chunksBeforeFormat = chunk("LIST", "odd")}),
         {8000, 1}, {{0.25f, -0.75f, 1.5f}}},
        {makeWav({.channels = 2, .samples = pcm16({16384, 2, 3, 4, 5}), .dataSizeOverride = 0xFFFFFFFF}), {8000, 2},
         {{0.5f, 3 / 32768.0f}, {2 / 32768.0f, 4 / 32768.0f}}},
    };
    for (const auto& c : cases) {
        auto opened = WavFile::fromBytes(c.bytes, "test.wav");
        ASSERT_TRUE(opened.file) << opened.error;
        EXPECT_EQ(opened.file->format(), c.format);
        const auto frames = static_cast<std::uint32_t>(opened.file->frameCount());
        FloatBuffer buffer(c.format.channelCount, frames, c.format.sampleRate);
        std::string error;
        EXPECT_TRUE(opened.file->readFrames(0, frames, buffer, 0, error)) << error;
        Planar read;
        for (std::uint32_t ch = 0; ch < c.format.channelCount; ++ch) read.emplace_back(buffer.channel(ch), buffer.channel(ch) + frames);
        EXPECT_EQ(read, c.samples);
    }
}

TEST(WavFileTest, RefusesWhatItCannotPlayAndSaysWhy) {
    struct Case {
        std::string bytes;
        const char* message;
    };
    const Case cases[] = {
        {"hello, this is plain text", "'x.wav' is not a WAV file"},
        {makeWav({.bits = 8, .samples = pcm16({1, 2})}), "'x.wav' uses an unsupported sample format"},
        {makeWav({.channels = 3, .samples = pcm16({1, 2, 3})}), "'x.wav' has 3 channels"},
        {makeWav({.rate = 0, .samples = pcm16({1, 2})}), "'x.wav' has an unusable sample rate"},
        {makeWav({}), "'x.wav' holds no audio"},
    };
    for (const auto& c : cases) {
        auto opened = WavFile::fromBytes(c.bytes, "x.wav");
        EXPECT_EQ(opened.file, nullptr) << c.message;
        EXPECT_EQ(opened.error.rfind(c.message, 0), 0u) << c.message << ": " << opened.error;
    }
    EXPECT_EQ(WavFile::open("/nonexistent/x.wav").error, "cannot open '/nonexistent/x.wav': No such file or directory");
}
