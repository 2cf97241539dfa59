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

TEST(FileCaptureSourceTest, AFileTruncatedWhilePlayingIsReportedAndPlaysAgainOnceWhole) {
    TempDir dir;
    const std::string path = dir / "gone.wav", bytes = makeWav({.samples = pcm16({7, 7, 7, 7})});
    std::ofstream(path, std::ios::binary) << bytes;
    auto opened = WavFile::open(path);
    ASSERT_TRUE(opened.file) << opened.error;
    std::filesystem::resize_file(path, bytes.size() - 8);
    FileCaptureSource source(std::move(opened.file), 16);
    Collector got(source);
    ASSERT_TRUE(got.waitFor(1000));  // ends at the error
    EXPECT_EQ(got.error, "reading '" + path + "' failed: the file ended early (was it truncated?)");
    EXPECT_FALSE(source.isRunning());

    // Cut to nothing playable: the source says why instead of starting.
    std::filesystem::resize_file(path, 20);
    EXPECT_FALSE(source.inputFormat().format);
    EXPECT_TRUE(source.start([](const AudioBuffer&) {}, [](const std::string&) {}));
    // Written whole again (in place, as an editor saving over it would): it plays from the top.
    std::ofstream(path, std::ios::binary | std::ios::in) << makeWav({.samples = pcm16({9, 9, 9, 9})});
    ASSERT_TRUE(source.inputFormat().format);
    Collector again(source);
    ASSERT_TRUE(again.waitFor(1));
    EXPECT_TRUE(again.error.empty()) << again.error;
    EXPECT_FLOAT_EQ(again.buffers[0][0], 9.0f / 32768.0f);
    source.stop();
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
