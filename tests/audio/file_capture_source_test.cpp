#include "audio/file_capture_source.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/capture_recorder.h"
#include "support/temp_dir.h"
#include "wav_test_data.h"

using namespace lumeno::audio;
using namespace lumeno::testing;
using namespace std::chrono_literals;

// 80 frames at 8 kHz: one buffer every 10 ms, the 100-frame file looped without a gap.
TEST(FileCaptureSourceTest, LoopsTheRecordingWithoutAGapInRealTimeAndNothingAfterStop) {
    std::vector<std::int16_t> ramp;
    for (int i = 0; i < 100; ++i) ramp.push_back(static_cast<std::int16_t>(i * 256));
    FileCaptureSource source(WavFile::fromBytes(makeWav({.samples = pcm16(ramp)}), "ramp.wav").file, 80);
    CaptureRecorder got;
    ASSERT_FALSE(got.start(source));
    ASSERT_TRUE(got.waitFor(10));
    source.stop();
    EXPECT_FALSE(source.isRunning());
    std::unique_lock lock(got.mutex);
    std::vector<float> expected;
    for (int i = 80; i < 160; ++i) expected.push_back(static_cast<float>(i % 100 * 256) / 32768.0f);
    EXPECT_EQ(got.buffers[1].first, expected);
    EXPECT_GE(got.buffers[9].at, 95ms);
    EXPECT_LT(got.buffers[0].at, 200ms);
    const std::size_t count = got.buffers.size();
    lock.unlock();
    std::this_thread::sleep_for(30ms);
    lock.lock();
    EXPECT_EQ(got.buffers.size(), count);
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
    const std::string original = ramp(8000, 1, 100);
    struct Case {
        const char* change;
        std::string replacement;  // written in place of the original, after the outage began
        bool cutFirst;            // cut to 1000 bytes first, and checked refused while cut
        bool byRename;
        AudioFormat format;
        std::int16_t firstFrame;
    };
    const Case cases[] = {
        {"cut short, then copied back in place", original, true, false, {8000, 1}, 100},
        {"replaced by renaming another file over it", ramp(22050, 2, 300), false, true, {22050, 2}, 300},
        {"rewritten in place at the same length", ramp(8000, 1, 500), false, false, {8000, 1}, 500},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.change);
        TempDir dir;
        const std::string path = dir / "input.wav";
        std::ofstream(path, std::ios::binary) << original;
        auto opened = WavFile::open(path);
        ASSERT_TRUE(opened.file) << opened.error;
        FileCaptureSource source(std::move(opened.file), 80);  // 10 ms buffers
        {
            CaptureRecorder got;
            ASSERT_FALSE(got.start(source));
            ASSERT_TRUE(got.waitFor(5));
            if (c.cutFirst) {
                std::filesystem::resize_file(path, 1000);
            } else {
                std::ofstream(dir / "next.wav", std::ios::binary) << c.replacement;
                if (c.byRename)
                    std::filesystem::rename(dir / "next.wav", path);
                else
                    std::filesystem::copy_file(dir / "next.wav", path, std::filesystem::copy_options::overwrite_existing);
            }
            ASSERT_TRUE(got.waitFor(1000));
            std::lock_guard lock(got.mutex);
            EXPECT_FALSE(got.lost.empty()) << "the change went unnoticed";
        }
        EXPECT_FALSE(source.isRunning());
        if (c.cutFirst) {
            EXPECT_EQ(source.inputFormat().error, "'" + path + "' is cut short");
            std::ofstream(path, std::ios::binary | std::ios::trunc) << c.replacement;
        }
        EXPECT_EQ(source.inputFormat().format, c.format);
        CaptureRecorder again;
        ASSERT_FALSE(again.start(source));
        ASSERT_TRUE(again.waitFor(1));
        source.stop();
        EXPECT_TRUE(again.lost.empty()) << again.lost;
        EXPECT_EQ(again.buffers[0].first[0], c.firstFrame / 32768.0f) << "not the first frame of the file now there";
    }
}
