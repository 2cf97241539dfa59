#include "audio/file_capture_source.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "wav_test_data.h"

using namespace lumeno::audio;
using namespace lumeno::testing;
using namespace std::chrono_literals;

namespace {

// Collects what the pacing thread delivers.
struct Collector {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::vector<float>> buffers;  // channel 0 of each
    std::vector<std::chrono::steady_clock::time_point> times;
    std::string error;

    CaptureSource::BufferHandler onBuffer() {
        return [this](const AudioBuffer& b) {
            std::lock_guard lock(mutex);
            buffers.emplace_back(b.channels[0], b.channels[0] + b.frameLength);
            times.push_back(std::chrono::steady_clock::now());
            changed.notify_all();
        };
    }
    CaptureSource::ErrorHandler onError() {
        return [this](const std::string& why) {
            std::lock_guard lock(mutex);
            error = why;
            changed.notify_all();
        };
    }
    bool waitFor(std::size_t count, std::chrono::milliseconds timeout = 5s) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return buffers.size() >= count; });
    }
    bool waitForError(std::chrono::milliseconds timeout = 5s) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return !error.empty(); });
    }
};

std::unique_ptr<WavFile> rampFile(std::uint32_t rate, int frames) {
    std::vector<std::int16_t> samples;
    for (int i = 0; i < frames; ++i) samples.push_back(static_cast<std::int16_t>(i * 1024));
    WavSpec spec;
    spec.rate = rate;
    spec.samples = pcm16(samples);
    return WavFile::fromBytes(makeWav(spec), "ramp.wav").file;
}

// Fails every read after the first `good` ones (four are the header), like a file truncated while playing.
class FailingBytes final : public ByteSource {
public:
    FailingBytes(std::string bytes, int good) : bytes_(std::move(bytes)), good_(good) {}
    std::uint64_t size() const override { return bytes_.size(); }
    bool readAt(std::uint64_t offset, std::uint8_t* out, std::size_t count, std::string& error) override {
        if (reads_++ >= good_) {
            error = "Input/output error";
            return false;
        }
        std::memcpy(out, bytes_.data() + offset, count);
        return true;
    }

private:
    std::string bytes_;
    int good_;
    int reads_ = 0;
};

}  // namespace

TEST(FileCaptureSourceTest, LoopsTheRecordingWithoutAGap) {
    FileCaptureSource source(rampFile(8000, 5), 4);
    Collector got;
    ASSERT_FALSE(source.start(got.onBuffer(), got.onError()));
    ASSERT_TRUE(got.waitFor(3));
    source.stop();
    auto f = [](int i) { return static_cast<float>(i * 1024) / 32768.0f; };
    EXPECT_EQ(got.buffers[0], (std::vector<float>{f(0), f(1), f(2), f(3)}));
    EXPECT_EQ(got.buffers[1], (std::vector<float>{f(4), f(0), f(1), f(2)}));
    EXPECT_EQ(got.buffers[2], (std::vector<float>{f(3), f(4), f(0), f(1)}));
}

TEST(FileCaptureSourceTest, DeliversInRealTimeAndNothingAfterStop) {
    // 80 frames at 8 kHz: one buffer every 10 ms.
    FileCaptureSource source(rampFile(8000, 100), 80);
    Collector got;
    const auto started = std::chrono::steady_clock::now();
    ASSERT_FALSE(source.start(got.onBuffer(), got.onError()));
    ASSERT_TRUE(got.waitFor(10));
    source.stop();
    EXPECT_FALSE(source.isRunning());
    std::size_t count;
    {
        std::lock_guard lock(got.mutex);
        EXPECT_GE(got.times[9] - started, 95ms);
        EXPECT_LT(got.times[0] - started, 200ms);
        count = got.buffers.size();
    }
    std::this_thread::sleep_for(30ms);
    std::lock_guard lock(got.mutex);
    EXPECT_EQ(got.buffers.size(), count);
}

TEST(FileCaptureSourceTest, ReadFailureIsReportedOnceAndStopsTheSource) {
    WavSpec spec;
    spec.samples = pcm16(std::vector<std::int16_t>(64, 7));
    auto opened = WavFile::fromSource(std::make_unique<FailingBytes>(makeWav(spec), 5), "gone.wav");
    ASSERT_TRUE(opened.file) << opened.error;
    FileCaptureSource source(std::move(opened.file), 16);
    Collector got;
    ASSERT_FALSE(source.start(got.onBuffer(), got.onError()));
    ASSERT_TRUE(got.waitForError());
    EXPECT_EQ(got.error, "reading 'gone.wav' failed: Input/output error");
    EXPECT_FALSE(source.isRunning());
    source.stop();
}
