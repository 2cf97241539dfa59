#include "audio/file_capture_source.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "support/capture_recorder.h"
#include "support/temp_dir.h"
#include "wav_test_data.h"

using namespace lumeno::audio;
using namespace lumeno::testing;
using namespace std::chrono_literals;

// 80 frames at 8 kHz: one buffer every 10 ms, the 100-frame file looped without a gap.
TEST(FileCaptureSourceTest, LoopsTheRecordingWithoutAGapInRealTime) {
    std::vector<std::int16_t> ramp;
    for (int i = 0; i < 100; ++i) ramp.push_back(static_cast<std::int16_t>(i * 256));
    FileCaptureSource source(WavFile::fromBytes(makeWav({.samples = pcm16(ramp)}), "ramp.wav").file, 80);
    CaptureRecorder got;
    ASSERT_FALSE(got.start(source));
    ASSERT_TRUE(got.waitFor(10));
    source.stop();  // before the recorder goes: a buffer after it would be caught by the sanitizers
    std::lock_guard lock(got.mutex);
    std::vector<float> expected;
    for (int i = 80; i < 160; ++i) expected.push_back(static_cast<float>(i % 100 * 256) / 32768.0f);
    EXPECT_EQ(got.buffers[1].first, expected);
    EXPECT_GE(got.buffers[9].at, 95ms);
    EXPECT_LT(got.buffers[0].at, 200ms);
}

// The input cut or replaced while it plays ends the capture as a lost device would. What is left
// of a cut file is never played (it would loop as a buzz); the next start plays whatever the
// path names by then, from its first frame and in its own format.
TEST(FileCaptureSourceTest, AFileCutOrReplacedWhilePlayingEndsTheCaptureAndRestartsFromWhatIsThereNow) {
    auto ramp = [](std::uint32_t rate, std::uint16_t channels, std::int16_t first) {
        std::vector<std::int16_t> samples;
        for (int i = 0; i < 8000 * channels; ++i) samples.push_back(static_cast<std::int16_t>(first + i / channels));
        return makeWav({.channels = channels, .rate = rate, .samples = pcm16(samples)});
    };
    TempDir dir;
    const std::string path = dir / "input.wav";
    const std::string original = ramp(8000, 1, 100);
    std::ofstream(path, std::ios::binary) << original;
    FileCaptureSource source(WavFile::open(path).file, 80);  // 10 ms buffers
    const auto playUntilLost = [&](const std::function<void()>& change) {
        CaptureRecorder got;
        ASSERT_FALSE(got.start(source));
        ASSERT_TRUE(got.waitFor(5));
        change();
        ASSERT_TRUE(got.waitFor(1000));
        std::lock_guard lock(got.mutex);
        EXPECT_FALSE(got.lost.empty()) << "the change went unnoticed";
    };
    const auto firstSampleOfTheNextStart = [&] {
        CaptureRecorder again;
        EXPECT_FALSE(again.start(source));
        EXPECT_TRUE(again.waitFor(1));
        source.stop();
        EXPECT_TRUE(again.lost.empty()) << again.lost;
        return again.buffers.empty() ? 0.0f : again.buffers[0].first[0] * 32768.0f;
    };

    playUntilLost([&] { std::filesystem::resize_file(path, 1000); });
    EXPECT_FALSE(source.isRunning());
    EXPECT_EQ(source.inputFormat().error, "'" + path + "' is cut short");
    std::ofstream(path, std::ios::binary | std::ios::trunc) << original;
    EXPECT_EQ(firstSampleOfTheNextStart(), 100.0f);

    playUntilLost([&] {  // another file renamed over it
        std::ofstream(dir / "next.wav", std::ios::binary) << ramp(22050, 2, 300);
        std::filesystem::rename(dir / "next.wav", path);
    });
    EXPECT_EQ(source.inputFormat().format, (AudioFormat{22050, 2}));
    EXPECT_EQ(firstSampleOfTheNextStart(), 300.0f);
}
