// Live listeners that fall behind, on real sockets fed in real time: dropping stale audio and the
// cut-off, both counted in audio time including what the kernel holds.
#include <atomic>
#include <cstring>
#include <numeric>

#include "server/asio_connection.h"
#include "server_fixture.h"

using namespace std::chrono_literals;
using namespace lumeno;
using namespace lumeno::testing;

namespace {

constexpr double kRate = 48000.0;
constexpr std::size_t kChunkBytes = 4096 * 2;  // one 4096-frame mono buffer
const auto kPeriod = std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(4096 / kRate));

using Clock = std::chrono::steady_clock;

std::int64_t nowNs() { return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count(); }

// Sequence number and send time up front, then the sequence's low byte throughout, so a chunk
// that arrives cut or spliced with another is caught.
core::SharedBytes stampedChunk(std::int64_t seq) {
    auto chunk = std::make_shared<std::vector<std::uint8_t>>(kChunkBytes, static_cast<std::uint8_t>(seq));
    const std::int64_t at = nowNs();
    std::memcpy(chunk->data(), &seq, 8);
    std::memcpy(chunk->data() + 8, &at, 8);
    return chunk;
}

struct Received {
    std::int64_t seq = -1;
    double ageSeconds = 0;
    bool whole = false;
};

Received decode(const std::string& bytes) {
    Received r;
    if (bytes.size() != kChunkBytes) return r;
    std::int64_t at = 0;
    std::memcpy(&r.seq, bytes.data(), 8);
    std::memcpy(&at, bytes.data() + 8, 8);
    r.ageSeconds = static_cast<double>(nowNs() - at) / 1e9;
    r.whole = std::all_of(bytes.begin() + 16, bytes.end(), [&](char c) { return static_cast<std::uint8_t>(c) == static_cast<std::uint8_t>(r.seq); });
    return r;
}

}  // namespace

// One feed and every kind of listener at once. One reading at half the stream's rate jumps
// forward in whole chunks and stays. Phones whose tab froze (a small receive buffer, nothing
// taken once the stream began) are cut about the cut-off after their kernel buffers filled,
// whatever the stream: Opus at its default rate is the hard case, as the kernel alone holds
// more of it than the drop threshold, so dropping empties our own queue while the peer still
// takes nothing. One keeping up loses nothing.
using AudioBacklogTest = ServerTest;

TEST_F(AudioBacklogTest, LaggingListenersDropAudioFrozenOnesAreCutAndOneKeepingUpLosesNothing) {
    server_->stop();
    startServer({.maxQueuedSeconds = 2.0, .maxBehindSeconds = 1.0}, core::AudioFormat{kRate, 1});
    struct Frozen {
        std::string host, path;
    };
    const Frozen cases[] = {{"127.0.0.2", "/audio"}, {"127.0.0.3", "/audio?codec=opus"}, {"127.0.0.4", "/audio.mp3"}};
    std::vector<TestClient> frozen;
    for (const Frozen& c : cases) {
        frozen.emplace_back(port(), c.host, 4096);
        frozen.back().send("GET " + c.path + " HTTP/1.1\r\n\r\n");
        ASSERT_NE(frozen.back().readHead().find("200 OK"), std::string::npos) << c.path;
    }
    auto lagging = connectAudio("127.0.0.7", 4096);
    auto healthy = connectAudio("127.0.0.1");
    ASSERT_TRUE(waitForCount(5));

    const auto start = Clock::now();
    std::atomic<std::int64_t> sent{0};
    std::jthread feeder([&] {  // in real time on its own thread, like the capture path
        for (auto next = start; Clock::now() - start < 6s; std::this_thread::sleep_until(next += kPeriod))
            server_->sendAudioData(stampedChunk(sent++));
    });
    std::vector<Received> got;
    std::string healthyBytes;
    std::optional<double> firstCutAfter;
    for (int k = 0; Clock::now() - start < 6s; ++k) {
        got.push_back(decode(lagging.readExactly(kChunkBytes, 5s)));
        if (!got.back().whole) break;  // cut off, or a chunk cut or spliced
        if (!firstCutAfter && log_.containsPrefix("Disconnecting audio listener 127.0.0.2: "))
            firstCutAfter = std::chrono::duration<double>(Clock::now() - start).count();
        healthyBytes += healthy.readExactly(1 << 20, 10ms);
        std::this_thread::sleep_until(start + (k + 1) * 2 * kPeriod);
    }
    feeder.join();
    healthyBytes += healthy.readExactly(sent * kChunkBytes - healthyBytes.size());
    std::vector<std::int64_t> healthySeqs, all(static_cast<std::size_t>(sent.load()));
    for (std::size_t at = 0; at < healthyBytes.size(); at += kChunkBytes) {
        const auto r = decode(healthyBytes.substr(at, kChunkBytes));
        healthySeqs.push_back(r.whole ? r.seq : -1);
    }
    std::iota(all.begin(), all.end(), 0);
    EXPECT_EQ(healthySeqs, all);

    // Kernel buffers on both sides hold a fraction of a second of the raw stream, so its cut comes
    // at about the two-second cut-off, not at the cut-off plus what those buffers hid.
    EXPECT_GT(firstCutAfter.value_or(0), 1.7);
    EXPECT_LT(firstCutAfter.value_or(9), 3.4);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(start + 7s - Clock::now());
        EXPECT_TRUE(log_.waitForPrefix("Disconnecting audio listener " + cases[i].host + ": ", left))
            << cases[i].path << " from " << cases[i].host << " was not cut within 7 s";
        EXPECT_TRUE(frozen[i].waitForClose(1s));
    }

    double worstAge = 0;
    for (std::size_t i = 0; i < got.size(); ++i) {
        ASSERT_TRUE(got[i].whole) << "chunk " << i << " arrived cut or spliced, or the lagging reader was cut off";
        if (i > 0) {
            ASSERT_GT(got[i].seq, got[i - 1].seq) << "a chunk arrived twice or out of order";
        }
        worstAge = std::max(worstAge, got[i].ageSeconds);
    }
    EXPECT_GT(got.back().seq - got.front().seq + 1, static_cast<std::int64_t>(got.size())) << "nothing was dropped";
    // Never more than about a second of audio waits ahead of it; read at half speed that is
    // about two seconds of wall time, where keeping everything would reach three.
    EXPECT_LT(worstAge, 2.4);
}

// The connection on its own, for what the server never shows: sends that must survive dropping
// (response heads, stream headers).
TEST(BacklogConnectionTest, StalledPeerLosesOnlyTheOldestDroppableSends) {
    asio::io_context io;
    asio::ip::tcp::acceptor acceptor(io, {asio::ip::make_address("127.0.0.1"), 0});
    TestClient client(acceptor.local_endpoint().port(), "127.0.0.1", 4096);
    auto connection = std::make_shared<server::AsioConnection>(io, acceptor.accept());
    connection->setBacklogPolicy({.bytesPerSecond = kRate * 2, .dropAfter = 300ms, .cutOffAfter = 10s});
    auto work = asio::make_work_guard(io);
    std::thread thread([&] { io.run(); });

    connection->send(std::make_shared<const std::vector<std::uint8_t>>(4, 'H'));  // a response head
    constexpr std::int64_t kChunks = 60, kHeader = 1000;
    for (std::int64_t seq = 0; seq < kChunks; ++seq) {
        // A header page in the middle of the burst, as a compressed stream would send one.
        if (seq == kChunks / 2) connection->send(stampedChunk(kHeader));
        connection->send(stampedChunk(seq), {}, server::Droppable::yes);
    }
    std::this_thread::sleep_for(300ms);  // the peer takes nothing meanwhile
    std::vector<std::int64_t> seqs;
    EXPECT_EQ(client.readExactly(4), "HHHH");
    for (Received r; (r = decode(client.readExactly(kChunkBytes, 500ms))).whole;) seqs.push_back(r.seq);
    connection->cancel();
    work.reset();
    thread.join();

    ASSERT_FALSE(seqs.empty());
    EXPECT_EQ(std::erase(seqs, kHeader), 1u) << "a send not marked droppable was dropped";
    EXPECT_TRUE(std::is_sorted(seqs.begin(), seqs.end()) && std::adjacent_find(seqs.begin(), seqs.end()) == seqs.end());
    EXPECT_EQ(seqs.back(), kChunks - 1) << "the newest audio is what survives";
    EXPECT_LT(seqs.size() * kChunkBytes, 0.3 * kRate * 2 + 2 * kChunkBytes) << "about the drop threshold is kept";
}
