#include "audio/wav_file.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "wav_test_data.h"

using namespace lumeno::audio;
using namespace lumeno::testing;

namespace {

std::vector<std::vector<float>> readAll(WavFile& file) {
    const auto frames = static_cast<std::uint32_t>(file.frameCount());
    FloatBuffer buffer(file.format().channelCount, frames, file.format().sampleRate);
    std::string error;
    EXPECT_TRUE(file.readFrames(0, frames, buffer, 0, error)) << error;
    std::vector<std::vector<float>> out(buffer.channelCount());
    for (std::uint32_t c = 0; c < buffer.channelCount(); ++c)
        out[c].assign(buffer.channel(c), buffer.channel(c) + frames);
    return out;
}

}  // namespace

TEST(WavFileTest, SixteenBitStereoBecomesPlanarFloatsOverFullScale) {
    WavSpec spec;
    spec.channels = 2;
    spec.rate = 44100;
    spec.samples = pcm16({16384, -32768, 32767, 0});
    auto opened = WavFile::fromBytes(makeWav(spec), "stereo.wav");
    ASSERT_TRUE(opened.file) << opened.error;
    EXPECT_EQ(opened.file->format(), (CaptureFormat{44100.0, 2}));
    EXPECT_EQ(opened.file->frameCount(), 2u);
    const auto channels = readAll(*opened.file);
    EXPECT_EQ(channels[0], (std::vector<float>{0.5f, 32767.0f / 32768.0f}));
    EXPECT_EQ(channels[1], (std::vector<float>{-1.0f, 0.0f}));
}

TEST(WavFileTest, ExtensibleFloatAfterOtherChunksIsFound) {
    WavSpec spec;
    spec.formatTag = 3;
    spec.bits = 32;
    spec.extensible = true;
    spec.rate = 22050;
    spec.chunksBeforeFormat = chunk("LIST", "odd");  // odd size: the next chunk starts after a pad byte
    spec.samples = float32({0.25f, -0.75f, 1.5f});
    auto opened = WavFile::fromBytes(makeWav(spec), "float.wav");
    ASSERT_TRUE(opened.file) << opened.error;
    EXPECT_EQ(opened.file->encoding(), SampleEncoding::float32);
    EXPECT_EQ(readAll(*opened.file)[0], (std::vector<float>{0.25f, -0.75f, 1.5f}));
}

TEST(WavFileTest, StreamedDataSizePlaceholderIsCutToTheWholeFramesPresent) {
    WavSpec spec;
    spec.channels = 2;
    spec.samples = pcm16({1, 2, 3, 4, 5});  // two whole frames and half of a third
    spec.dataSizeOverride = 0xFFFFFFFF;
    auto opened = WavFile::fromBytes(makeWav(spec), "streamed.wav");
    ASSERT_TRUE(opened.file) << opened.error;
    EXPECT_EQ(opened.file->frameCount(), 2u);
}

TEST(WavFileTest, RefusesWhatItCannotPlay) {
    WavSpec good;
    good.samples = pcm16({1, 2});
    auto variant = [&](auto change) {
        WavSpec s = good;
        change(s);
        return makeWav(s);
    };
    std::string noData = makeWav(good);
    noData.resize(noData.size() - (8 + 4));  // drop the data chunk
    struct Case {
        const char* name;
        std::string bytes;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"not RIFF", "hello, this is plain text", "'x.wav' is not a WAV file"},
        {"too short", "RIFF", "'x.wav' is not a WAV file"},
        {"8-bit", variant([](WavSpec& s) { s.bits = 8; }), "'x.wav' uses an unsupported sample format"},
        {"24-bit", variant([](WavSpec& s) { s.bits = 24; }), "'x.wav' uses an unsupported sample format"},
        {"three channels", variant([](WavSpec& s) { s.channels = 3; s.samples = pcm16({1, 2, 3}); }),
         "'x.wav' has 3 channels"},
        {"zero rate", variant([](WavSpec& s) { s.rate = 0; }), "'x.wav' has an unusable sample rate"},
        {"no audio", variant([](WavSpec& s) { s.samples.clear(); }), "'x.wav' holds no audio"},
        {"no data chunk", noData, "'x.wav' has no data chunk"},
    };
    for (const auto& c : cases) {
        auto opened = WavFile::fromBytes(c.bytes, "x.wav");
        EXPECT_EQ(opened.file, nullptr) << c.name;
        EXPECT_EQ(opened.error.rfind(c.message, 0), 0u) << c.name << ": " << opened.error;
    }
}

TEST(WavFileTest, OpeningAMissingFileOrAFolderSaysWhy) {
    EXPECT_EQ(WavFile::open("/nonexistent/x.wav").error, "cannot open '/nonexistent/x.wav': No such file or directory");
    const auto dir = std::filesystem::temp_directory_path();
    EXPECT_EQ(WavFile::open(dir.string()).error, "'" + dir.string() + "' is not a regular file");
}
