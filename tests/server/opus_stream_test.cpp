#include <algorithm>
#include <cmath>
#include <cstring>
#include <cstdlib>
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

struct OggPage {
    std::uint32_t serial = 0;
    std::uint32_t sequence = 0;
    std::int64_t granule = 0;
    bool beginsStream = false;
    std::string body;
};

// Splits a byte stream into Ogg pages; stops at anything that is not a whole page.
std::vector<OggPage> parsePages(const std::string& bytes) {
    std::vector<OggPage> pages;
    std::size_t at = 0;
    auto u8 = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
    auto le = [&](std::size_t i, int n) {
        std::uint64_t v = 0;
        for (int k = n - 1; k >= 0; --k) v = v << 8 | u8(i + static_cast<std::size_t>(k));
        return v;
    };
    while (at + 27 <= bytes.size() && bytes.compare(at, 4, "OggS") == 0) {
        const std::size_t segments = u8(at + 26);
        if (at + 27 + segments > bytes.size()) break;
        std::size_t bodySize = 0;
        for (std::size_t s = 0; s < segments; ++s) bodySize += u8(at + 27 + s);
        const std::size_t body = at + 27 + segments;
        if (body + bodySize > bytes.size()) break;
        pages.push_back({static_cast<std::uint32_t>(le(at + 14, 4)), static_cast<std::uint32_t>(le(at + 18, 4)),
                         static_cast<std::int64_t>(le(at + 6, 8)), (u8(at + 5) & 0x02) != 0,
                         bytes.substr(body, bodySize)});
        at = body + bodySize;
    }
    return pages;
}

// Decodes with one of Debian's command-line decoders as a listener's player would: from the
// stream's first byte, to 16-bit mono at 48 kHz. `command` takes the input and output file names.
template <typename Command>
std::vector<std::int16_t> decodeWith(const std::string& stream, Command command) {
    TempDir dir("lumeno-stream");
    std::ofstream(dir / "in", std::ios::binary) << stream;
    if (std::system(command("'" + (dir / "in") + "'", "'" + (dir / "out.raw") + "'").c_str()) != 0) return {};
    std::ifstream in(dir / "out.raw", std::ios::binary);
    const std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::int16_t> samples(raw.size() / 2);
    std::memcpy(samples.data(), raw.data(), samples.size() * 2);
    return samples;
}

std::vector<std::int16_t> decodeWithOpusdec(const std::string& stream) {
    return decodeWith(stream, [](auto in, auto out) { return "opusdec --quiet --rate 48000 " + in + " " + out; });
}

std::vector<std::int16_t> decodeWithMpg123(const std::string& stream) {
    return decodeWith(stream, [](auto in, auto out) { return "mpg123 --quiet -e s16 -O " + out + " " + in; });
}

// At 48 kbit/s and 48 kHz an MP3 stream is a chain of 144-byte frames, each opening with the
// MPEG-1 Layer III sync; a stream cut anywhere else would start or end mid-frame.
void expectWholeMp3Frames(const std::string& stream) {
    ASSERT_FALSE(stream.empty());
    ASSERT_EQ(stream.size() % 144, 0u);
    for (std::size_t at = 0; at < stream.size(); at += 144) ASSERT_EQ(stream.substr(at, 2), "\xFF\xFB") << "at " << at;
}

// The strongest frequency between 100 Hz and 4 kHz, in 5 Hz steps, over the middle of the audio.
double peakFrequency(const std::vector<std::int16_t>& samples) {
    const std::size_t from = samples.size() / 4;
    const std::size_t to = samples.size() * 3 / 4;
    double best = 0.0, bestPower = -1.0;
    for (double f = 100.0; f <= 4000.0; f += 5.0) {
        const double coefficient = 2.0 * std::cos(2.0 * M_PI * f / 48000.0);
        double s1 = 0.0, s2 = 0.0;
        for (std::size_t i = from; i < to; ++i) {
            const double s0 = samples[i] + coefficient * s1 - s2;
            s2 = s1;
            s1 = s0;
        }
        const double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
        if (power > bestPower) {
            bestPower = power;
            best = f;
        }
    }
    return best;
}

// The compressed streams (Ogg Opus, MP3), each encoded once for all its listeners.
class EncodedStreamTest : public ServerTest {
protected:
    // The capture here runs at 44.1 kHz stereo, so the stream is resampled and folded down.
    void SetUp() override { startServer({}, core::AudioFormat{kRate, 2}); }

    TestClient connect(const std::string& target, std::string* head = nullptr) {
        TestClient client(port());
        client.send("GET " + target + " HTTP/1.1\r\nHost: x\r\n\r\n");
        const std::string received = client.readHead();
        if (head) *head = received;
        return client;
    }
    TestClient connectOpus(std::string* head = nullptr) { return connect("/audio?codec=opus", head); }

    // Feeds the tone in 4096-frame buffers, a little faster than real time.
    void feedTone(double seconds) {
        const auto buffers = static_cast<int>(seconds * kRate / 4096.0);
        for (int b = 0; b < buffers; ++b) {
            auto chunk = std::make_shared<std::vector<std::uint8_t>>();
            for (int i = 0; i < 4096; ++i, ++fed_) {
                const auto value = static_cast<std::int16_t>(12000.0 * std::sin(2.0 * M_PI * kTone * fed_ / kRate));
                for (int c = 0; c < 2; ++c) {
                    chunk->push_back(static_cast<std::uint8_t>(value & 0xFF));
                    chunk->push_back(static_cast<std::uint8_t>((value >> 8) & 0xFF));
                }
            }
            server_->sendAudioData(std::move(chunk));
            std::this_thread::sleep_for(5ms);
        }
    }

    // Everything the client has been sent until the stream goes quiet (bounded).
    static std::string readAvailable(TestClient& client) {
        std::string all;
        for (int round = 0; round < 40; ++round) {
            const std::string more = client.readExactly(1 << 20, 500ms);
            if (more.empty()) break;
            all += more;
        }
        return all;
    }

    static constexpr double kRate = 44100.0;
    long fed_ = 0;
};
using OpusStreamTest = EncodedStreamTest;
using Mp3StreamTest = EncodedStreamTest;

}  // namespace

TEST_F(OpusStreamTest, AToneDecodesWithOpusdecToItsLengthAndPitch) {
    std::string head;
    auto client = connectOpus(&head);
    EXPECT_EQ(head, server::opusStreamHead());
    feedTone(2.0);
    const std::string stream = readAvailable(client);

    const auto pages = parsePages(stream);
    ASSERT_GT(pages.size(), 90u);
    EXPECT_TRUE(pages[0].beginsStream);
    EXPECT_EQ(pages[0].body.substr(0, 8), "OpusHead");
    EXPECT_EQ(pages[1].body.substr(0, 8), "OpusTags");
    for (std::size_t i = 2; i < pages.size(); ++i) {
        EXPECT_EQ(pages[i].granule, static_cast<std::int64_t>(i - 1) * 960) << "one 20 ms packet per page";
        EXPECT_EQ(pages[i].sequence, i);
    }

    const auto samples = decodeWithOpusdec(stream);
    const double fedSeconds = static_cast<double>(fed_) / kRate;
    // Short of what was fed by at most the frame still filling, the encoder's look-ahead and the
    // resampler's delay.
    EXPECT_LE(samples.size() / 48000.0, fedSeconds);
    EXPECT_GE(samples.size() / 48000.0, fedSeconds - 0.04);
    EXPECT_NEAR(peakFrequency(samples), kTone, 10.0);
}

TEST_F(OpusStreamTest, ALateJoinerGetsTheHeadersThenLivePagesAndDecodesFromItsFirstByte) {
    auto first = connectOpus();
    feedTone(1.0);
    // The late joiner must arrive after pages went out, or it would not be late.
    ASSERT_FALSE(readAvailable(first).empty());
    auto late = connectOpus();
    const long before = fed_;
    feedTone(1.0);
    const std::string stream = readAvailable(late);

    const auto pages = parsePages(stream);
    ASSERT_GT(pages.size(), 40u);
    EXPECT_EQ(pages[0].body.substr(0, 8), "OpusHead");
    EXPECT_EQ(pages[1].body.substr(0, 8), "OpusTags");
    EXPECT_GT(pages[2].sequence, 2u);
    EXPECT_GT(pages[2].granule, 48000 * 9 / 10);

    const auto samples = decodeWithOpusdec(stream);
    const double joinedSeconds = static_cast<double>(fed_ - before) / kRate;
    EXPECT_NEAR(samples.size() / 48000.0, joinedSeconds, 0.06);
    EXPECT_NEAR(peakFrequency(samples), kTone, 10.0);
}

TEST_F(OpusStreamTest, TheEncoderStopsWithTheLastOpusListenerAndRestartsAsAFreshStream) {
    auto first = connectOpus();
    auto second = connectOpus();
    feedTone(0.5);
    const auto firstPages = parsePages(readAvailable(first));
    ASSERT_GT(firstPages.size(), 2u);
    first.close();
    ASSERT_TRUE(log_.waitForPrefix("Removed audio connection immediately, count: 1"));
    EXPECT_EQ(log_.count("Opus encoder stopped"), 0) << "one Opus listener is still there";
    second.close();
    ASSERT_TRUE(log_.waitForPrefix("Opus encoder stopped"));
    feedTone(0.3);  // nobody listens: nothing may queue up for the next run

    auto again = connectOpus();
    feedTone(0.5);
    const std::string stream = readAvailable(again);
    const auto pages = parsePages(stream);
    ASSERT_GT(pages.size(), 2u);
    EXPECT_NE(pages[0].serial, firstPages[0].serial);
    EXPECT_EQ(pages[2].sequence, 2u);
    EXPECT_EQ(pages[2].granule, 960);
    EXPECT_NEAR(peakFrequency(decodeWithOpusdec(stream)), kTone, 10.0);
    EXPECT_EQ(log_.count("Opus encoder started at 32 kbit/s"), 2);
}

TEST_F(Mp3StreamTest, AToneDecodesWithMpg123ToItsLengthAndPitchAndCountsAsAListener) {
    std::string head;
    auto client = connect("/audio.mp3", &head);
    EXPECT_EQ(head, "HTTP/1.1 200 OK\r\nContent-Type: audio/mpeg\r\nCache-Control: no-cache\r\n\r\n");
    EXPECT_TRUE(waitForCount(1));
    feedTone(2.0);
    const std::string stream = readAvailable(client);
    expectWholeMp3Frames(stream);

    const auto samples = decodeWithMpg123(stream);
    const double fedSeconds = static_cast<double>(fed_) / kRate;
    // Every frame leaves once LAME has its look-ahead (1376 samples for the first, 1152 after):
    // so short of what was fed by under 29 ms plus the resampler's delay. A bit reservoir
    // would hold four frames more.
    EXPECT_LE(samples.size() / 48000.0, fedSeconds);
    EXPECT_GE(samples.size() / 48000.0, fedSeconds - 0.035);
    EXPECT_NEAR(peakFrequency(samples), kTone, 10.0);
}

TEST_F(Mp3StreamTest, ALateJoinerStartsOnAFrameAndDecodesFromItsFirstByte) {
    auto first = connect("/audio.mp3");
    feedTone(1.0);
    ASSERT_FALSE(readAvailable(first).empty());
    auto late = connect("/audio.mp3");
    const long before = fed_;
    feedTone(1.0);
    const std::string stream = readAvailable(late);
    expectWholeMp3Frames(stream);

    const auto samples = decodeWithMpg123(stream);
    const double joinedSeconds = static_cast<double>(fed_ - before) / kRate;
    EXPECT_NEAR(samples.size() / 48000.0, joinedSeconds, 0.06);
    EXPECT_NEAR(peakFrequency(samples), kTone, 10.0);

    first.close();
    late.close();
    EXPECT_TRUE(log_.waitFor("MP3 encoder stopped")) << "the encoder runs only while someone listens";
}

TEST_F(OpusStreamTest, OtherCodecValuesGetTheRawStreamAsBefore) {
    TestClient raw(port());
    raw.send("GET /audio?codec=flac HTTP/1.1\r\n\r\n");
    EXPECT_EQ(raw.readHead(), server::audioStreamHead(kRate, 2));
    server_->sendAudioData(chunkOf("pcm bytes"));
    EXPECT_EQ(raw.readExactly(9), "pcm bytes");
    EXPECT_FALSE(log_.contains("Opus encoder started at 32 kbit/s"));
}

TEST_F(EncodedStreamTest, AnEncoderThatCannotStartIsLoggedOnceOpusRequestsGetRawAndMp3Requests503) {
    server_->stop();
    startServer({.opusBitrate = 0, .mp3Bitrate = 0}, core::AudioFormat{kRate, 2});
    std::string headA, headB;
    auto a = connectOpus(&headA);
    auto b = connectOpus(&headB);
    EXPECT_EQ(headA, server::audioStreamHead(kRate, 2));
    EXPECT_EQ(headB, headA);
    server_->sendAudioData(chunkOf("pcm bytes"));
    EXPECT_EQ(a.readExactly(9), "pcm bytes");
    EXPECT_EQ(b.readExactly(9), "pcm bytes");
    // A media element cannot play the raw stream: the MP3 route says plainly that it has nothing.
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(fetch(port(), "GET /audio.mp3 HTTP/1.1\r\n\r\n"),
                  "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: "
                  "23\r\nCache-Control: no-cache\r\nConnection: close\r\n\r\nMP3 stream unavailable\n");
    const auto lines = log_.lines();
    for (const std::string codec : {"Opus", "MP3"})
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [&](const std::string& l) { return l.rfind("❌ " + codec + " encoder failed to start", 0) == 0; }),
                  1)
            << codec;
}
TEST(Mp3BitrateTest, ASettingTakesTheNearestRateAnMp3StreamCanHave) {
    struct Case {
        int requested, expected;
    };
    const Case cases[] = {{48000, 48000}, {50000, 48000}, {53000, 56000}, {1, 32000}, {1000000, 320000}, {0, 0}, {-5, 0}};
    for (const auto& c : cases) EXPECT_EQ(server::mp3BitrateFor(c.requested), c.expected) << c.requested;
}
