#include "audio/file_capture_source.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>

#include <sys/stat.h>

#include "support/temp_dir.h"
#include "wav_test_data.h"

using namespace lumeno::audio;
using namespace lumeno::testing;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Starts the source and collects what its pacing thread delivers: channel 0 of each buffer and
// when it came, or the error.
struct Collector {
    explicit Collector(FileCaptureSource& source) : started(Clock::now()) {
        EXPECT_FALSE(source.start(
            [this](const AudioBuffer& b) {
                std::lock_guard lock(mutex);
                buffers.emplace_back(b.channels[0], b.channels[0] + b.frameLength);
                times.push_back(Clock::now() - started);
                changed.notify_all();
            },
            [this](const std::string& why) {
                std::lock_guard lock(mutex);
                error = why;
                changed.notify_all();
            }));
    }
    // Until `count` buffers have come, or an error.
    bool waitFor(std::size_t count) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 5s, [&] { return buffers.size() >= count || !error.empty(); });
    }

    const Clock::time_point started;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::vector<float>> buffers;
    std::vector<Clock::duration> times;
    std::string error;
};

std::unique_ptr<WavFile> rampFile(int frames) {
    std::vector<std::int16_t> samples;
    for (int i = 0; i < frames; ++i) samples.push_back(static_cast<std::int16_t>(i * 1024));
    return WavFile::fromBytes(makeWav({.samples = pcm16(samples)}), "ramp.wav").file;
}

}  // namespace

TEST(FileCaptureSourceTest, LoopsTheRecordingWithoutAGap) {
    FileCaptureSource source(rampFile(5), 4);
    Collector got(source);
    ASSERT_TRUE(got.waitFor(3));
    source.stop();
    auto f = [](std::initializer_list<int> frames) {
        std::vector<float> out;
        for (int i : frames) out.push_back(static_cast<float>(i * 1024) / 32768.0f);
        return out;
    };
    EXPECT_EQ(got.buffers[0], f({0, 1, 2, 3}));
    EXPECT_EQ(got.buffers[1], f({4, 0, 1, 2}));
    EXPECT_EQ(got.buffers[2], f({3, 4, 0, 1}));
}

TEST(FileCaptureSourceTest, DeliversInRealTimeAndNothingAfterStop) {
    FileCaptureSource source(rampFile(100), 80);  // 80 frames at 8 kHz: one buffer every 10 ms
    Collector got(source);
    ASSERT_TRUE(got.waitFor(10));
    source.stop();
    EXPECT_FALSE(source.isRunning());
    std::unique_lock lock(got.mutex);
    EXPECT_GE(got.times[9], 95ms);
    EXPECT_LT(got.times[0], 200ms);
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
            Collector got(source);
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
            EXPECT_FALSE(got.error.empty()) << "the change went unnoticed";
        }
        EXPECT_FALSE(source.isRunning());
        if (c.cutFirst) {
            EXPECT_EQ(source.inputFormat().error, "'" + path + "' is cut short");
            std::ofstream(path, std::ios::binary | std::ios::trunc) << c.replacement;
        }
        const auto format = source.inputFormat().format;
        ASSERT_TRUE(format);
        EXPECT_EQ(format->sampleRate, c.format.sampleRate);
        EXPECT_EQ(format->channelCount, c.format.channelCount);
        Collector again(source);
        ASSERT_TRUE(again.waitFor(1));
        source.stop();
        EXPECT_TRUE(again.error.empty()) << again.error;
        EXPECT_EQ(again.buffers[0][0], c.firstFrame / 32768.0f) << "not the first frame of the file now there";
    }
}

TEST(FileCaptureSourceTest, AFifoOrDeviceIsRefusedWithoutWaitingForAWriter) {
    TempDir dir;
    const std::string fifo = dir / "input.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {fifo, std::string("/dev/zero"), dir.str()}) {
        const auto opened = WavFile::open(path);
        EXPECT_FALSE(opened.file);
        EXPECT_EQ(opened.error, "'" + path + "' is not a regular file");
    }
}
