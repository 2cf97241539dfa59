// The compressed streams (Ogg Opus, MP3), each encoded once for all its listeners, decoded with
// Debian's command-line decoders as a listener's player would: from the stream's first byte.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "server/http_text.h"
#include "server_fixture.h"
#include "support/temp_dir.h"

using namespace std::chrono_literals;
using namespace lumeno;
using namespace lumeno::testing;

namespace {

constexpr double kTone = 697.0;
constexpr double kRate = 44100.0;  // the capture's, so the stream is resampled and folded down

struct Codec {
    std::string name, path, head;
    std::string decoder;  // a command taking the input and output file names, writing 16-bit mono at 48 kHz
    // How the stream opens: an Ogg page, or the MPEG-1 Layer III sync (mpg123 would skip to it).
    std::string start;
};

const Codec kCodecs[] = {
    {"Opus", "/audio?codec=opus", server::opusStreamHead(), "opusdec --quiet --rate 48000 IN OUT", "OggS"},
    {"MP3", "/audio.mp3", "HTTP/1.1 200 OK\r\nContent-Type: audio/mpeg\r\nCache-Control: no-cache\r\n\r\n",
     "mpg123 --quiet -e s16 -O OUT IN", "\xFF\xFB"},
};

std::vector<std::int16_t> decode(const Codec& codec, const std::string& stream) {
    TempDir dir("lumeno-stream");
    std::ofstream(dir / "in", std::ios::binary) << stream;
    std::string command = codec.decoder;
    command.replace(command.find("IN"), 2, "'" + (dir / "in") + "'");
    command.replace(command.find("OUT"), 3, "'" + (dir / "out.raw") + "'");
    if (std::system(command.c_str()) != 0) return {};
    std::ifstream in(dir / "out.raw", std::ios::binary);
    const std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::int16_t> samples(raw.size() / 2);
    std::memcpy(samples.data(), raw.data(), samples.size() * 2);
    return samples;
}

// The tone's frequency from its rising edges (with hysteresis, so codec noise never counts),
// between the first and the last: silence a decoder puts around the audio does not count.
double toneFrequency(const std::vector<std::int16_t>& samples) {
    std::vector<std::size_t> rises;
    bool low = false;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        if (samples[i] < -4000) low = true;
        if (samples[i] > 4000 && low) rises.push_back(i), low = false;
    }
    return rises.size() < 2 ? 0.0 : (rises.size() - 1) * 48000.0 / static_cast<double>(rises.back() - rises.front());
}

class EncodedStreamTest : public ServerTest {
protected:
    void SetUp() override { startServer({}, core::AudioFormat{kRate, 2}); }

    // Feeds the tone in 4096-frame stereo buffers, a little faster than real time.
    void feedTone(double seconds) {
        for (int b = 0; b < static_cast<int>(seconds * kRate / 4096.0); ++b) {
            auto chunk = std::make_shared<std::vector<std::uint8_t>>();
            for (int i = 0; i < 4096; ++i, ++fed_) {
                const auto value = static_cast<std::int16_t>(12000.0 * std::sin(2.0 * M_PI * kTone * fed_ / kRate));
                for (int c = 0; c < 4; ++c) chunk->push_back(static_cast<std::uint8_t>(value >> (c % 2 * 8)));
            }
            server_->sendAudioData(std::move(chunk));
            std::this_thread::sleep_for(5ms);
        }
    }

    // Everything the client has been sent until the stream goes quiet for 200 ms (bounded).
    static std::string readAvailable(TestClient& client) {
        std::string all;
        for (int round = 0; round < 50; ++round) {
            const std::string more = client.readExactly(1 << 20, 200ms);
            if (more.empty() && (!all.empty() || round >= 10)) break;
            all += more;
        }
        return all;
    }

    long fed_ = 0;
};

}  // namespace

// A listener from the start hears all that was fed, short by at most what the encoder still
// holds (the frame filling, its look-ahead, the resampler's delay: no bit reservoir's four MP3
// frames); a late joiner gets the headers then live audio.
TEST_F(EncodedStreamTest, EveryListenerDecodesTheToneFromItsFirstByteWhenEverItJoined) {
    for (const Codec& codec : kCodecs) {
        SCOPED_TRACE(codec.name);
        std::string head;
        auto first = open(codec.path, "127.0.0.1", 0, &head);
        EXPECT_EQ(head, codec.head);
        EXPECT_TRUE(waitForCount(1));
        const long start = fed_;
        feedTone(1.0);
        std::string firstStream = readAvailable(first);
        ASSERT_FALSE(firstStream.empty());
        auto late = open(codec.path, "127.0.0.2");
        const long joined = fed_;
        feedTone(1.0);
        firstStream += readAvailable(first);
        const std::string lateStream = readAvailable(late);

        const auto all = decode(codec, firstStream);
        const double fedSeconds = static_cast<double>(fed_ - start) / kRate;
        EXPECT_TRUE(firstStream.starts_with(codec.start));
        EXPECT_LE(all.size() / 48000.0, fedSeconds);
        EXPECT_GE(all.size() / 48000.0, fedSeconds - 0.04);
        EXPECT_NEAR(toneFrequency(all), kTone, 10.0);
        const auto fromJoin = decode(codec, lateStream);
        EXPECT_TRUE(lateStream.starts_with(codec.start));
        EXPECT_NEAR(fromJoin.size() / 48000.0, static_cast<double>(fed_ - joined) / kRate, 0.06);
        EXPECT_NEAR(toneFrequency(fromJoin), kTone, 10.0);

        first.close();
        late.close();
        ASSERT_TRUE(waitForCount(0));
    }
}

// A media element cannot play the raw stream: without encoders, Opus requests get raw audio and
// the MP3 route says plainly that it has nothing; each encoder's failure is logged once.
TEST_F(EncodedStreamTest, AnEncoderThatCannotStartGivesRawForOpusAnd503ForMp3LoggedOnce) {
    server_->stop();
    startServer({.opusBitrate = 0, .mp3Bitrate = 0}, core::AudioFormat{kRate, 2});
    for (int i = 0; i < 2; ++i) {
        std::string head;
        open("/audio?codec=opus", "127.0.0.1", 0, &head);
        EXPECT_EQ(head, server::audioStreamHead(kRate, 2));
        const std::string mp3 = fetch(port(), "GET /audio.mp3 HTTP/1.1\r\n\r\n");
        EXPECT_TRUE(mp3.starts_with("HTTP/1.1 503 Service Unavailable\r\n")) << mp3;
        EXPECT_TRUE(mp3.ends_with("\r\n\r\nMP3 stream unavailable\n")) << mp3;
    }
    for (const std::string codec : {"Opus", "MP3"})
        EXPECT_EQ(std::ranges::count_if(log_.lines(), [&](const std::string& l) { return l.starts_with("❌ " + codec + " encoder failed to start"); }),
                  1) << codec;
}
