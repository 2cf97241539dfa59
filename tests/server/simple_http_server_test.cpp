#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>

#include "server/http_text.h"
#include "server_fixture.h"

using namespace std::chrono_literals;
using namespace lumeno;
using namespace lumeno::testing;

namespace {
int openDescriptorCount() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir)) ++count;
        closedir(dir);
    }
    return count;
}
}  // namespace

TEST_F(ServerTest, StatusDocumentFollowsTheStreamingFlagWhileAudioFlowsAndCloses) {
    EXPECT_EQ(status(), server::statusResponse(false));
    server_->setStreaming(true);
    EXPECT_EQ(status(), server::statusResponse(true));
    server_->setAudioFlowing(false);
    EXPECT_EQ(status(), server::statusResponse(false));
    server_->setAudioFlowing(true);
    EXPECT_EQ(status(), server::statusResponse(true));
}

// Routing is tested on text (RouteTest); here the head arrives in pieces, or never ends at all.
TEST_F(ServerTest, OnlyAWholeRequestLineRoutesHoweverTheBytesArrive) {
    EXPECT_EQ(fetch(port(), std::string(8192, 'x')), server::kNotFoundResponse) << "a head too long to wait for";
    // A request line split over two segments, a header byte that is not UTF-8, and a pipelined
    // second request that is never answered.
    TestClient split(port());
    split.send("GET /sta");
    std::this_thread::sleep_for(50ms);
    split.send("tus HTTP/1.1\r\nX-Bad: \xFF\r\n\r\nGET /audio HTTP/1.1\r\n\r\n");
    EXPECT_EQ(split.readUntilClosed(), server::statusResponse(false));
}

TEST_F(ServerTest, AHeadThatNeverEndsIsClosedAtTheDeadlineButPlayingListenersStay) {
    server_->stop();
    startServer({.requestTimeout = 300ms});
    auto playing = connectAudio();
    TestClient silent(port());
    TestClient unfinished(port());
    unfinished.send("GET /status HTTP/1.1\r\n");
    EXPECT_TRUE(silent.waitForClose(10s));
    EXPECT_EQ(unfinished.readUntilClosed(10s), "") << "no answer to half a head";
    server_->sendAudioData(chunkOf("still here"));
    EXPECT_EQ(playing.readExactly(10), "still here");
}

TEST_F(ServerTest, EveryAddressMeansIpv6AndIpv4Alike) {
    server_->stop();
    server_ = server::SimpleHTTPServer::create(0, std::nullopt, {queue_, notifications_, log_}, {.bindAddress = "0.0.0.0"});
    server_->start();
    EXPECT_EQ(status(), server::statusResponse(false)) << "IPv4, mapped";
    const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    address.sin6_port = htons(port());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    const std::string request = "GET /status HTTP/1.1\r\n\r\n";
    ASSERT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
    std::string response;
    char buffer[256];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) response.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    EXPECT_EQ(response, server::statusResponse(false)) << "IPv6";
}

TEST_F(ServerTest, NewConnectionsBeyondTheCapsAreClosedAndOpenOnesKeepPlaying) {
    server_->stop();
    startServer({.maxConnectionsPerHost = 2, .maxConnections = 3});
    auto a1 = connectAudio("127.0.0.1");
    auto a2 = connectAudio("127.0.0.1");
    ASSERT_TRUE(waitForCount(1));
    EXPECT_TRUE(TestClient(port(), "127.0.0.1").waitForClose()) << "over the per-address cap";
    auto b = connectAudio("127.0.0.2");
    ASSERT_TRUE(waitForCount(2));
    EXPECT_TRUE(TestClient(port(), "127.0.0.3").waitForClose()) << "over the total cap";
    server_->sendAudioData(chunkOf("chunk"));
    for (auto* listener : {&a1, &a2, &b}) EXPECT_EQ(listener->readExactly(5), "chunk");
    // Room again once one leaves.
    a1.close();
    ASSERT_TRUE(log_.waitFor("Removed audio connection immediately, count: 2"));
    EXPECT_EQ(status(), server::statusResponse(false));
}

TEST_F(ServerTest, BadRequestsLeakNoConnections) {
    const int before = openDescriptorCount();
    for (int i = 0; i < 50; ++i) {
        TestClient client(port());
        if (i % 3 == 0) client.send("GET");
        if (i % 3 == 1) client.send(std::string(8192, 'x'));
        client.close();  // some close before the answer, some send nothing at all
    }
    status();
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (openDescriptorCount() > before && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
    EXPECT_LE(openDescriptorCount(), before);
}

// A raw stream's format is in its head alone: a listener told one format must never get samples
// in another. The Opus stream's format is fixed, so its listeners stay.
TEST_F(ServerTest, AFormatChangeEndsRawStreamsToldTheOldOneAndLaterStreamsAnnounceTheNew) {
    std::string head;
    auto before = open("/audio", "127.0.0.1", 0, &head);
    EXPECT_EQ(head, server::audioStreamHead(44100.0, 1));
    auto opus = open("/audio?codec=opus", "127.0.0.2");
    ASSERT_TRUE(waitForCount(2));

    server_->updateAudioFormat({44100.0, 1});  // what they were told: nothing ends
    server_->updateAudioFormat({48000.0, 2});
    EXPECT_TRUE(before.waitForClose(2s));
    EXPECT_EQ(std::ranges::count_if(log_.lines(), [](const std::string& l) { return l.starts_with("Audio format changed"); }), 1);
    auto after = open("/audio", "127.0.0.1", 0, &head);
    EXPECT_EQ(head, server::audioStreamHead(48000.0, 2));
    EXPECT_TRUE(waitForCount(2)) << "the Opus listener keeps its stream";
}

// The log volume is the behaviour here: a service's journal must stay readable.
TEST_F(ServerTest, PerChunkAndPerPollLinesAreSummedUpUnlessVerbose) {
    // The sum of the counts that the summary lines starting with `prefix` begin with.
    const auto total = [this](const std::string& prefix) {
        long sum = 0;
        for (const auto& line : log_.lines())
            if (line.rfind(prefix, 0) == 0) sum += std::stol(line.substr(prefix.size()));
        return sum;
    };
    for (const bool verbose : {false, true}) {
        SCOPED_TRACE(verbose ? "verbose" : "quiet");
        server_->stop();
        log_.clear();
        startServer({.verbose = verbose});
        auto a = connectAudio();
        auto b = connectAudio("127.0.0.2");
        ASSERT_TRUE(waitForCount(2));
        for (int i = 0; i < 20; ++i) server_->sendAudioData(chunkOf(std::string(100, 'x')));
        for (int i = 0; i < 3; ++i) status();
        EXPECT_EQ(a.readExactly(2000).size(), 2000u);
        if (verbose) {
            EXPECT_EQ(log_.count("Broadcasting 100 bytes to 2 connections"), 20);
            EXPECT_EQ(log_.count("Serving status"), 3);
            continue;
        }
        // Within about a second, one line for the chunks and one for the polls, with their totals.
        EXPECT_TRUE(queue_.runUntil([&] { return total("Served ") == 3 && total("Broadcast ") == 20; }));
        EXPECT_FALSE(log_.containsPrefix("Broadcasting ") || log_.contains("Serving status"));
    }
}

// The last owner let go while a handler on the io thread still held the server.
TEST_F(ServerTest, ReleasedFromItsOwnIoThreadTheServerStillTearsDownCleanly) {
    struct HoldingPage final : server::PageResponder {
        std::promise<void> entered, destroyed;
        std::shared_future<void> release;
        ~HoldingPage() override { destroyed.set_value(); }
        void sendListenerPage(const std::shared_ptr<server::Connection>& connection) override {
            entered.set_value();
            release.wait();
            connection->cancel();
        }
        void sendLogo(const std::shared_ptr<server::Connection>&) override {}
        void sendDecoderScript(const std::shared_ptr<server::Connection>&) override {}
    };
    std::promise<void> release;
    auto page = std::make_shared<HoldingPage>();
    page->release = release.get_future().share();
    auto entered = page->entered.get_future();
    auto destroyed = page->destroyed.get_future();
    server_->setPageResponder(std::move(page));

    TestClient client(port());
    client.send("GET /listen HTTP/1.1\r\n\r\n");
    ASSERT_EQ(entered.wait_for(5s), std::future_status::ready);
    server_.reset();  // the page handler on the io thread now holds the last reference
    release.set_value();
    EXPECT_EQ(destroyed.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(client.waitForClose());
}

TEST_F(ServerTest, ListenersAreCountedByHostAndADeadAudioListenerLeavesAtOnce) {
    auto a1 = connectAudio("127.0.0.1");
    auto a2 = connectAudio("127.0.0.1");
    auto e1 = connectEvents("127.0.0.1");
    auto b = connectAudio("127.0.0.2");
    ASSERT_TRUE(waitForCount(2));
    status();  // short requests never count
    EXPECT_EQ(server_->uniqueListenerCount(), 2);
    b.close();
    EXPECT_TRUE(waitForCount(1));
}

// A closed event stream is pruned only by the two-second pass, and its keep-alives end with it.
TEST_F(ServerTest, EventStreamGetsHeadKeepAlivesAndBroadcastsUntilTheTwoSecondPassFindsItClosed) {
    TestClient events(port(), "127.0.0.3");
    events.send("GET /transcription HTTP/1.1\r\n\r\n");
    EXPECT_EQ(events.readExactly(server::kEventStreamHead.size()), server::kEventStreamHead);
    EXPECT_EQ(events.readExactly(12), server::kKeepAlive) << "a keep-alive follows registration at once";
    ASSERT_TRUE(queue_.runUntil([&] { return queue_.pendingCount() == 3; })) << "two cleanup timers and the keep-alive";
    queue_.advance(14s);
    EXPECT_EQ(events.readExactly(12, 100ms), "");
    queue_.advance(1s);
    EXPECT_EQ(events.readExactly(12), server::kKeepAlive);
    server_->broadcastTranscription(R"({"type":"transcription","text":"hello"})");
    EXPECT_EQ(events.readExactly(47), "data: {\"type\":\"transcription\",\"text\":\"hello\"}\n\n");

    events.close();
    std::this_thread::sleep_for(200ms);  // the close has reached the server by now
    queue_.runUntilIdle();
    EXPECT_EQ(server_->uniqueListenerCount(), 1);
    queue_.advance(2s);
    EXPECT_TRUE(waitForCount(0));
    queue_.advance(60s);
    queue_.runUntil([] { return false; }, 100ms);
    EXPECT_EQ(queue_.pendingCount(), 2u) << "only the two cleanup timers remain";
}

TEST_F(ServerTest, EventStreamThatStopsReadingIsCutOffAtTheAudioBound) {
    server_->stop();
    startServer({.maxQueuedSeconds = 0.25}, core::AudioFormat{48000.0, 1});
    auto stalled = TestClient(port(), "127.0.0.2", 4096);
    stalled.send("GET /transcription HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(waitForCount(1));
    const std::string caption = R"({"type":"transcription","text":")" + std::string(2000, 'w') + R"("})";
    for (int i = 0; i < 200 && counts_.back() != 0; ++i) {
        server_->broadcastTranscription(caption);
        if (i % 20 == 19) queue_.advance(2s);
        std::this_thread::sleep_for(5ms);
    }
    queue_.advance(2s);
    EXPECT_TRUE(waitForCount(0));
}

TEST_F(ServerTest, StopPublishesZeroAndSilencesTheTimers) {
    auto a = connectAudio();
    auto e = connectEvents();
    ASSERT_TRUE(log_.waitFor("🎤 Added transcription connection, count: 1"));
    server_->stop();
    queue_.runUntilIdle();
    EXPECT_EQ(counts_.back(), 0);
    EXPECT_TRUE(a.waitForClose());
    EXPECT_TRUE(e.waitForClose());
    const auto published = counts_.size();
    queue_.advance(20s);  // past both cleanup periods and the keep-alive
    EXPECT_EQ(counts_.size(), published);
    EXPECT_EQ(queue_.pendingCount(), 0u);
    server_.reset();
}
