// Live listeners that fall behind, on real sockets fed in real time: dropping stale audio and the
// cut-off, both counted in audio time including what the kernel holds.
#include <atomic>
#include <cstring>

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

// Feeds stamped chunks in real time on its own thread, like the capture path.
class Feeder {
public:
    Feeder(server::SimpleHTTPServer& server, std::chrono::milliseconds length, Clock::duration period = kPeriod) {
        thread_ = std::thread([&server, length, period, this] {
            const auto start = Clock::now();
            auto next = start;
            while (!stop_ && Clock::now() - start < length) {
                server.sendAudioData(stampedChunk(sent_++));
                next += period;
                std::this_thread::sleep_until(next);
            }
        });
    }
    ~Feeder() { join(); }
    void join() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    std::int64_t sent() const { return sent_; }

private:
    std::atomic<bool> stop_{false};
    std::atomic<std::int64_t> sent_{0};
    std::thread thread_;
};

}  // namespace

class AudioBacklogTest : public ServerTest {
protected:
    void SetUp() override { startServer({.maxQueuedSeconds = 2.0, .maxBehindSeconds = 1.0}, core::AudioFormat{kRate, 1}); }

    long linesStartingWith(const std::string& prefix) const {
        const auto lines = log_.lines();
        return std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
    }
};

TEST_F(AudioBacklogTest, SlowReaderJumpsForwardInWholeChunksAndStaysConnected) {
    auto slow = connectAudio("127.0.0.2", 4096);
    ASSERT_TRUE(waitForCount(1));
    Feeder feeder(*server_, 8s);

    // Half the stream's rate: one chunk per two periods, for seven seconds.
    std::vector<Received> got;
    const auto start = Clock::now();
    for (int k = 0; Clock::now() - start < 7s; ++k) {
        const auto part = slow.readExactly(kChunkBytes, 5s);
        ASSERT_EQ(part.size(), kChunkBytes) << "the slow reader must not be cut off while it still reads";
        got.push_back(decode(part));
        std::this_thread::sleep_until(start + (k + 1) * 2 * kPeriod);
    }
    feeder.join();

    double worstAge = 0;
    for (std::size_t i = 0; i < got.size(); ++i) {
        ASSERT_TRUE(got[i].whole) << "chunk " << i << " arrived cut or spliced";
        if (i > 0) {
            ASSERT_GT(got[i].seq, got[i - 1].seq) << "a chunk arrived twice or out of order";
        }
        worstAge = std::max(worstAge, got[i].ageSeconds);
    }
    EXPECT_GT(got.back().seq - got.front().seq + 1, static_cast<std::int64_t>(got.size())) << "nothing was dropped";
    // Never more than about a second of audio waits ahead of it; read at half speed that is
    // about two seconds of wall time, where keeping everything would reach three and a half.
    EXPECT_LT(worstAge, 2.4);
    EXPECT_EQ(linesStartingWith("Audio listener 127.0.0.2 fell "), 1) << "one line per episode";
    EXPECT_FALSE(log_.containsPrefix("Disconnecting audio listener"));
}

TEST_F(AudioBacklogTest, ListenerThatReadsNothingIsCutAtTheCutOffWhileOneKeepingUpLosesNothing) {
    auto stalled = connectAudio("127.0.0.2", 4096);
    auto healthy = connectAudio("127.0.0.1");
    ASSERT_TRUE(waitForCount(2));

    std::vector<std::int64_t> healthySeqs;
    std::atomic<std::int64_t> healthyCount{0};
    std::atomic<bool> reading{true};
    std::thread reader([&] {
        while (reading) {
            const auto part = healthy.readExactly(kChunkBytes, 200ms);
            if (part.empty()) continue;
            ASSERT_EQ(part.size(), kChunkBytes);
            const auto r = decode(part);
            ASSERT_TRUE(r.whole);
            healthySeqs.push_back(r.seq);
            ++healthyCount;
        }
    });
    const auto start = Clock::now();
    std::optional<Feeder> feeder;
    feeder.emplace(*server_, 6s);
    // Kernel buffers on both sides hold a fraction of a second here, so the cut comes at about
    // the two-second cut-off, not at the cut-off plus what those buffers hid.
    ASSERT_TRUE(log_.waitForPrefix("Disconnecting audio listener 127.0.0.2: it fell behind with ", 6s));
    const double cutAfter = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_GT(cutAfter, 1.7);
    EXPECT_LT(cutAfter, 3.2);
    EXPECT_TRUE(log_.waitFor("Removed audio connection immediately, count: 1"));
    EXPECT_TRUE(stalled.waitForClose(2s));

    feeder->join();
    const std::int64_t sent = feeder->sent();
    const auto deadline = Clock::now() + 5s;
    while (healthyCount < sent && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
    reading = false;
    reader.join();
    ASSERT_EQ(static_cast<std::int64_t>(healthySeqs.size()), sent);
    for (std::int64_t i = 0; i < sent; ++i) ASSERT_EQ(healthySeqs[static_cast<std::size_t>(i)], i);
    EXPECT_FALSE(log_.containsPrefix("Audio listener 127.0.0.1 fell "));
}

// Phones whose tab froze: a small receive buffer, and nothing taken once the stream began. Each
// is cut about the cut-off after its kernel buffers filled, whatever the stream and its rate;
// Opus at its default rate is the hard case, as the kernel alone holds more of it than the drop
// threshold, so dropping empties our own queue while the peer still takes nothing.
TEST_F(AudioBacklogTest, FrozenListenersAreCutOnEveryStreamTypeAndBitrate) {
    auto other = server::SimpleHTTPServer::create(0, core::AudioFormat{16000.0, 1}, {queue_, notifications_, log_},
                                                  {.bindAddress = "127.0.0.1", .maxQueuedSeconds = 2.0, .opusBitrate = 128000});
    other->start();
    struct Case {
        server::SimpleHTTPServer& server;
        std::string host, path;
    };
    const Case cases[] = {{*server_, "127.0.0.2", "/audio"},  // 48 kHz raw
                          {*server_, "127.0.0.3", "/audio?codec=opus"},  // 32 kbit/s Opus
                          {*other, "127.0.0.4", "/audio"},  // 16 kHz raw
                          {*other, "127.0.0.5", "/audio?codec=opus"},  // 128 kbit/s Opus
                          {*server_, "127.0.0.6", "/audio.mp3"}};  // 48 kbit/s MP3
    std::vector<TestClient> frozen;
    for (const Case& c : cases) {
        frozen.emplace_back(c.server.port(), c.host, 4096);
        frozen.back().send("GET " + c.path + " HTTP/1.1\r\n\r\n");
        ASSERT_NE(frozen.back().readHead().find("200 OK"), std::string::npos) << c.path;
    }
    const auto start = Clock::now();
    Feeder fast(*server_, 10s), slow(*other, 10s, std::chrono::milliseconds(256));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(start + 7s - Clock::now());
        EXPECT_TRUE(log_.waitForPrefix("Disconnecting audio listener " + cases[i].host + ": ", left))
            << cases[i].path << " from " << cases[i].host << " was not cut within 7 s";
        EXPECT_TRUE(frozen[i].waitForClose(1s));
    }
    fast.join();
    slow.join();
    other->stop();
}

// The connection on its own, for what the server never shows: sends that must survive dropping
// (stream headers) and what dropped sends report to their senders.
class BacklogConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        acceptor_.open(asio::ip::tcp::v4());
        acceptor_.bind({asio::ip::make_address("127.0.0.1"), 0});
        acceptor_.listen();
        client_.emplace(acceptor_.local_endpoint().port(), "127.0.0.1", 4096);
        connection_ = std::make_shared<server::AsioConnection>(io_, acceptor_.accept());
        thread_ = std::thread([this] { io_.run(); });
    }
    void TearDown() override {
        connection_->cancel();
        work_.reset();
        thread_.join();
    }

    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_ = asio::make_work_guard(io_);
    asio::ip::tcp::acceptor acceptor_{io_};
    std::optional<TestClient> client_;
    std::shared_ptr<server::AsioConnection> connection_;
    std::thread thread_;
};

TEST_F(BacklogConnectionTest, StalledPeerLosesOnlyTheOldestDroppableSendsAndEachDropIsReported) {
    std::atomic<int> episodes{0};
    std::atomic<int> cancelled{0};
    server::BacklogPolicy policy;
    policy.bytesPerSecond = kRate * 2;
    policy.dropAfter = 300ms;
    policy.cutOffAfter = 10s;
    policy.onDropping = [&](std::chrono::milliseconds) { ++episodes; };
    connection_->setBacklogPolicy(std::move(policy));

    const std::string head = "HEAD";
    connection_->send(std::make_shared<const std::vector<std::uint8_t>>(head.begin(), head.end()));
    constexpr std::int64_t kChunks = 60, kHeader = 1000;
    auto onSent = [&](std::error_code ec) {
        if (ec == std::errc::operation_canceled) ++cancelled;
    };
    for (std::int64_t seq = 0; seq < kChunks; ++seq) {
        // A header page in the middle of the burst, as a compressed stream would send one.
        if (seq == kChunks / 2) connection_->send(stampedChunk(kHeader), onSent, server::Droppable::no);
        connection_->send(stampedChunk(seq), onSent, server::Droppable::yes);
    }
    std::this_thread::sleep_for(300ms);  // the peer takes nothing meanwhile

    ASSERT_EQ(client_->readExactly(head.size()), head);
    std::vector<std::int64_t> seqs;
    for (std::string part; !(part = client_->readExactly(kChunkBytes, 500ms)).empty();) {
        ASSERT_EQ(part.size(), kChunkBytes);
        const auto r = decode(part);
        ASSERT_TRUE(r.whole) << "after chunk " << (seqs.empty() ? -1 : seqs.back());
        seqs.push_back(r.seq);
    }
    ASSERT_FALSE(seqs.empty());
    EXPECT_NE(std::find(seqs.begin(), seqs.end(), kHeader), seqs.end()) << "a send marked not droppable was dropped";
    std::erase(seqs, kHeader);
    EXPECT_TRUE(std::is_sorted(seqs.begin(), seqs.end()) && std::adjacent_find(seqs.begin(), seqs.end()) == seqs.end());
    EXPECT_EQ(seqs.back(), kChunks - 1) << "the newest audio is what survives";
    EXPECT_LT(seqs.size() * kChunkBytes, 0.3 * kRate * 2 + 2 * kChunkBytes) << "about the drop threshold is kept";
    EXPECT_EQ(cancelled.load(), kChunks - static_cast<int>(seqs.size())) << "every dropped send completes as cancelled";
    EXPECT_EQ(episodes.load(), 1);
}
