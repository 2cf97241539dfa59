// Capture end to end: a private PulseAudio daemon with pipe sources fed by the test, the
// PulseAudio back-end on its own, and the real lumeno binary streaming what it captures.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstring>
#include <tuple>
#include <fstream>

#include "audio/wav_test_data.h"
#include "platform/pulse/pulse_capture_source.h"
#include "support/capture_recorder.h"
#include "support/child_process.h"
#include "support/headless_app.h"
#include "support/pulse_daemon.h"
#include "support/temp_dir.h"
#include "support/test_client.h"

using namespace std::chrono_literals;
using namespace lumeno::testing;

namespace {

// The test signal: every sample value once per 65536 samples, in a scrambled order, so any
// dropped, repeated or reordered sample shows.
std::int16_t signalSample(std::uint64_t i) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>((i * 7919u) & 0xFFFFu));
}

// What lumeno sends for a 16-bit input sample at gain 1.0: the sound server hands it over as
// s / 32768, and the wire format scales by 32767 with truncation.
std::int16_t wireFor(std::int16_t s) {
    return static_cast<std::int16_t>(static_cast<float>(s) / 32768.0f * 32767.0f);
}

std::vector<std::int16_t> decode(const std::string& bytes) {  // the wire's little-endian is the host's
    std::vector<std::int16_t> out(bytes.size() / 2);
    std::memcpy(out.data(), bytes.data(), out.size() * 2);
    return out;
}

// The first offset in [0, period) at which `received` continues `expected(offset + k)`, if any.
template <typename Expected>
std::optional<std::uint64_t> alignment(const std::vector<std::int16_t>& received, std::uint64_t period,
                                       Expected expected) {
    for (std::uint64_t offset = 0; offset < period; ++offset) {
        bool match = true;
        for (std::size_t k = 0; k < received.size() && match; ++k) match = received[k] == expected(offset + k);
        if (match) return offset;
    }
    return std::nullopt;
}

std::vector<std::string> lumenoArgs(const TempDir& dir, std::vector<std::string> extra) {
    std::vector<std::string> args = {"--headless", "--port", "0", "--bind", "127.0.0.1", "--config-dir", dir / "config"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

}  // namespace

// The operator's path: the stored streaming switch (taking effect a second after start:
// ViewControllerTest), then a listener hearing the sound server's input sample for sample;
// losing the sound server leaves the listener server answering and the switch stored.
TEST(PulseCaptureE2ETest, StreamsTheFedSignalOneSecondAfterStartAndOutlivesTheSoundServer) {
    TempDir dir;
    PulseDaemon daemon(dir, {{"mic", "Test-Mic", 48000, 1}});
    ASSERT_TRUE(daemon.ready()) << daemon.log();
    FifoFeeder feeder(daemon.fifo("mic"), 48000, 1, [](std::uint64_t i) { return signalSample(i); });

    auto app = spawnWith({daemon.serverVariable()}, LUMENO_BINARY, lumenoArgs(dir, {"--set", "isStreaming=true"}));
    const auto port = readyPort(*app);
    ASSERT_NE(port, 0) << app->stderrText();
    ASSERT_TRUE(app->waitForLine("Status: Streaming", 5s));

    TestClient listener(port);
    listener.send("GET /audio HTTP/1.1\r\n\r\n");
    const std::string head = listener.readHead(5s);
    EXPECT_NE(head.find("X-Sample-Rate: 48000\r\nX-Channels: 1\r\n"), std::string::npos) << head;
    const auto received = decode(listener.readExactly(3 * 8192, 10s));
    ASSERT_EQ(received.size(), 3u * 4096u);
    EXPECT_TRUE(alignment(received, 65536, [](std::uint64_t i) { return wireFor(signalSample(i)); }))
        << "the stream is not a gap-free run of the fed signal";

    daemon.stop();
    EXPECT_TRUE(app->waitForLine("Status: Audio Error", 10s));
    EXPECT_TRUE(app->waitForPrefix("❌ Audio capture lost: the PulseAudio server went away"));
    EXPECT_EQ(fetch(port, "GET /status HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 200 OK", 0), 0u);
    app->signal(SIGTERM);
    EXPECT_EQ(app->wait(10s), 0);
    std::ifstream settings(dir.path() / "config" / "settings.json");
    EXPECT_NE(std::string(std::istreambuf_iterator<char>(settings), {}).find("\"isStreaming\": true"), std::string::npos);
}

// A looped file streams sample for sample, in its own format (a cut file and the retries:
// FileCaptureSourceTest, ViewControllerTest).
TEST(FileCaptureE2ETest, StreamsTheFileLoopedInItsOwnFormat) {
    TempDir dir;
    constexpr std::uint32_t kFrames = 10000;
    std::vector<std::int16_t> samples;  // interleaved, so a swapped or lost channel shows
    for (std::uint32_t i = 0; i < 2 * kFrames; ++i) samples.push_back(signalSample(i));
    std::ofstream(dir / "input.wav", std::ios::binary)
        << makeWav({.channels = 2, .rate = 32000, .samples = pcm16(samples)});
    auto app = spawnWith({"PULSE_SERVER=unix:" + (dir / "no-server")}, LUMENO_BINARY,
                         lumenoArgs(dir, {"--input-file", dir / "input.wav", "--set", "isStreaming=true"}));
    const auto port = readyPort(*app);
    ASSERT_NE(port, 0) << app->stderrText();
    ASSERT_TRUE(app->waitForLine("Status: Streaming", 5s));

    TestClient listener(port);
    listener.send("GET /audio HTTP/1.1\r\n\r\n");
    const std::string head = listener.readHead(5s);
    EXPECT_NE(head.find("X-Sample-Rate: 32000\r\nX-Channels: 2\r\n"), std::string::npos) << head;
    const auto received = decode(listener.readExactly(3 * 4096 * 4, 10s));
    ASSERT_EQ(received.size(), 3u * 4096u * 2u);
    EXPECT_TRUE(alignment(received, 2 * kFrames, [&](std::uint64_t i) { return wireFor(signalSample(i % (2 * kFrames))); }))
        << "the stream is not the looped file";
}

class PulseBackEndTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(daemon_.ready()) << daemon_.log();
        ::setenv("PULSE_SERVER", ("unix:" + daemon_.socket()).c_str(), 1);
    }
    void TearDown() override { ::unsetenv("PULSE_SERVER"); }

    TempDir dir_;
    PulseDaemon daemon_{dir_,
                        {{"first", "First-Mic", 48000, 1}, {"second", "Second-Mic", 44100, 2}, {"quad", "Quad-Desk", 48000, 4}},
                        true};
};

// A four-channel interface is recorded as stereo carrying its signal, not silence.
TEST_F(PulseBackEndTest, ListsSwitchesCapturesAnyChannelCountAndReportsAVanishedSource) {
    lumeno::platform::PulseCaptureSource source;
    const auto devices = source.captureDevices();  // the null sink's monitor is not an input
    ASSERT_EQ(devices.size(), 3u);
    auto listing = spawnWith({daemon_.serverVariable()}, LUMENO_BINARY, {"--list-devices"});
    EXPECT_TRUE(listing->waitForLine("Quad-Desk"));
    EXPECT_EQ(listing->stdoutLines(), (std::vector<std::string>{"First-Mic", "Second-Mic", "Quad-Desk"}));

    for (const auto& [device, rate, channels] : {std::tuple{"quad", 48000, 4}, std::tuple{"second", 44100, 2}}) {
        SCOPED_TRACE(device);
        const auto id = source.systemDeviceId(device);
        ASSERT_TRUE(id && source.setDefaultInput(*id));
        EXPECT_EQ(source.inputFormat().format, (lumeno::core::AudioFormat{static_cast<double>(rate), 2}));
        FifoFeeder feeder(daemon_.fifo(device), rate, channels, [](std::uint64_t) { return std::int16_t{16384}; });
        CaptureRecorder got;
        const auto error = got.start(source);
        ASSERT_FALSE(error) << error->description;
        ASSERT_TRUE(got.waitFor(4));
        {
            std::lock_guard lock(got.mutex);
            EXPECT_EQ(got.buffers[1].channels, 2u);
            EXPECT_EQ(got.buffers[1].frames, lumeno::audio::kCaptureBlockFrames);
            EXPECT_EQ(got.buffers[1].rate, rate);
            EXPECT_GT(std::ranges::max(got.buffers, {}, &CaptureRecorder::Buffer::peak).peak, 0.1f);
        }
        if (std::string_view(device) == "second") {
            for (const auto& line : daemon_.pactl("list short modules"))
                if (line.find("source_name=second") != std::string::npos) daemon_.pactl("unload-module " + line.substr(0, line.find('\t')));
            got.waitFor(SIZE_MAX);
            EXPECT_TRUE(got.lost.starts_with("the audio input went away")) << got.lost;
            EXPECT_FALSE(source.isRunning());
        }
        source.stop();
    }
}
