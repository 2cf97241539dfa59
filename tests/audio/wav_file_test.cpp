#include "audio/wav_file.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "wav_test_data.h"

using namespace lumeno::audio;
using namespace lumeno::testing;

namespace {

std::unique_ptr<WavFile> open(std::string bytes) {
    auto opened = WavFile::fromBytes(std::move(bytes), "test.wav");
    EXPECT_TRUE(opened.file) << opened.error;
    return std::move(opened.file);
}

std::vector<std::vector<float>> readAll(WavFile& file) {
    const auto frames = static_cast<std::uint32_t>(file.frameCount());
    FloatBuffer buffer(file.format().channelCount, frames, file.format().sampleRate);
    std::string error;
    EXPECT_TRUE(file.readFrames(0, frames, buffer, 0, error)) << error;
    std::vector<std::vector<float>> out;
    for (std::uint32_t c = 0; c < buffer.channelCount(); ++c) out.emplace_back(buffer.channel(c), buffer.channel(c) + frames);
    return out;
}

}  // namespace

TEST(WavFileTest, SixteenBitStereoBecomesPlanarFloatsOverFullScale) {
    auto file = open(makeWav({.channels = 2, .rate = 44100, .samples = pcm16({16384, -32768, 32767, 0})}));
    ASSERT_TRUE(file);
    EXPECT_EQ(file->format(), (lumeno::core::AudioFormat{44100.0, 2}));
    EXPECT_EQ(readAll(*file), (std::vector<std::vector<float>>{{0.5f, 32767.0f / 32768.0f}, {-1.0f, 0.0f}}));
}

TEST(WavFileTest, ExtensibleFloatAfterAnOddSizedChunkIsFound) {
    // The odd size means the next chunk starts after a pad byte.
    auto file = open(makeWav({.formatTag = 3, .bits = 32, .samples = float32({0.25f, -0.75f, 1.5f}), .extensible = true,
                              .chunksBeforeFormat = chunk("LIST", "odd")}));
    ASSERT_TRUE(file);
    EXPECT_EQ(file->encoding(), SampleEncoding::float32);
    EXPECT_EQ(readAll(*file)[0], (std::vector<float>{0.25f, -0.75f, 1.5f}));
}

TEST(WavFileTest, StreamedDataSizePlaceholderIsCutToTheWholeFramesPresent) {
    // Two whole frames and half of a third.
    auto file = open(makeWav({.channels = 2, .samples = pcm16({1, 2, 3, 4, 5}), .dataSizeOverride = 0xFFFFFFFF}));
    ASSERT_TRUE(file);
    EXPECT_EQ(file->frameCount(), 2u);
}

TEST(WavFileTest, RefusesWhatItCannotPlayAndSaysWhy) {
    std::string noData = makeWav({.samples = pcm16({1, 2})});
    noData.resize(noData.size() - (8 + 4));  // drop the data chunk
    struct Case {
        std::string bytes;
        const char* message;
    };
    const Case cases[] = {
        {"hello, this is plain text", "'x.wav' is not a WAV file"},
        {"RIFF", "'x.wav' is not a WAV file"},
        {makeWav({.bits = 8, .samples = pcm16({1, 2})}), "'x.wav' uses an unsupported sample format"},
        {makeWav({.bits = 24, .samples = pcm16({1, 2, 3})}), "'x.wav' uses an unsupported sample format"},
        {makeWav({.channels = 3, .samples = pcm16({1, 2, 3})}), "'x.wav' has 3 channels"},
        {makeWav({.rate = 0, .samples = pcm16({1, 2})}), "'x.wav' has an unusable sample rate"},
        {makeWav({}), "'x.wav' holds no audio"},
        {noData, "'x.wav' has no data chunk"},
    };
    for (const auto& c : cases) {
        auto opened = WavFile::fromBytes(c.bytes, "x.wav");
        EXPECT_EQ(opened.file, nullptr) << c.message;
        EXPECT_EQ(opened.error.rfind(c.message, 0), 0u) << c.message << ": " << opened.error;
    }
    EXPECT_EQ(WavFile::open("/nonexistent/x.wav").error, "cannot open '/nonexistent/x.wav': No such file or directory");
    const auto dir = std::filesystem::temp_directory_path().string();
    EXPECT_EQ(WavFile::open(dir).error, "'" + dir + "' is not a regular file");
}
