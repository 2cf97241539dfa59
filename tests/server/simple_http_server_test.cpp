#include <filesystem>
#include <future>

#include "server/http_text.h"
#include "server_fixture.h"

using namespace std::chrono_literals;
using namespace lumeno;
using namespace lumeno::testing;

// On every address (the default) an IPv4 listener reaches the server through the mapped socket.
TEST_F(ServerTest, StatusDocumentFollowsTheStreamingFlagWhileAudioFlowsAndCloses) {
    server_->stop();
    server_ = server::SimpleHTTPServer::create(0, std::nullopt, {queue_, notifications_, log_}, {.bindAddress = "0.0.0.0"});
    server_->start();
    EXPECT_EQ(status(), server::statusResponse(false));
    server_->setStreaming(true);
    EXPECT_EQ(status(), server::statusResponse(true));
    server_->setAudioFlowing(false);
    EXPECT_EQ(status(), server::statusResponse(false));
    server_->setAudioFlowing(true);
    EXPECT_EQ(status(), server::statusResponse(true));
}

// Routing is tested on text (RouteTest); here the head arrives in pieces, too long, cut short or
// not at all, and none of it may leave a descriptor behind.
TEST_F(ServerTest, OnlyAWholeRequestLineRoutesHoweverTheBytesArriveAndNothingLeaks) {
    const auto openDescriptorCount = [] { return std::ranges::distance(std::filesystem::directory_iterator("/proc/self/fd")); };
    const long before = openDescriptorCount();
    for (int i = 0; i < 30; ++i) {
        TestClient client(port());
        if (i % 2) client.send("GET");
        client.close();  // some close before the answer, some send nothing at all
    }
    EXPECT_EQ(fetch(port(), std::string(8192, 'x')), server::kNotFoundResponse) << "a head too long to wait for";
    {
        // A request line split over two segments, a header byte that is not UTF-8, and a
        // pipelined second request that is never answered.
        TestClient split(port());
        split.send("GET /sta");
        std::this_thread::sleep_for(50ms);
        split.send("tus HTTP/1.1\r\nX-Bad: \xFF\r\n\r\nGET /audio HTTP/1.1\r\n\r\n");
        EXPECT_EQ(split.readUntilClosed(), server::statusResponse(false));
    }
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (openDescriptorCount() > before && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
    EXPECT_LE(openDescriptorCount(), before);
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
    auto after = open("/audio", "127.0.0.1", 0, &head);
    EXPECT_EQ(head, server::audioStreamHead(48000.0, 2));
    EXPECT_TRUE(waitForCount(2)) << "the Opus listener keeps its stream";
}

// The last owner let go while a handler on the io thread still held the server.
TEST_F(ServerTest, ReleasedFromItsOwnIoThreadTheServerStillTearsDownCleanly) {
    struct HoldingPage final : server::PageResponder {
        std::shared_ptr<server::SimpleHTTPServer> server;  // the last reference, let go on the io thread
        std::promise<void> destroyed;
        ~HoldingPage() override { destroyed.set_value(); }
        void sendListenerPage(const std::shared_ptr<server::Connection>& connection) override {
            connection->cancel();
            server.reset();
        }
        void sendLogo(const std::shared_ptr<server::Connection>&) override {}
        void sendDecoderScript(const std::shared_ptr<server::Connection>&) override {}
    };
    auto page = std::make_shared<HoldingPage>();
    auto destroyed = page->destroyed.get_future();
    page->server = std::exchange(server_, nullptr);
    page->server->setPageResponder(page);
    TestClient client(page->server->port());
    page.reset();
    client.send("GET /listen HTTP/1.1\r\n\r\n");
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

    // Stopping ends every stream, publishes zero and leaves no timer behind.
    server_->stop();
    queue_.runUntilIdle();
    EXPECT_EQ(counts_.back(), 0);
    EXPECT_TRUE(a1.waitForClose() && e1.waitForClose());
    queue_.advance(20s);  // past both cleanup periods and the keep-alive
    EXPECT_EQ(queue_.pendingCount(), 0u);
}

// A closed event stream is pruned only by the two-second pass, and its keep-alives end with it.
TEST_F(ServerTest, EventStreamGetsHeadKeepAlivesAndBroadcastsUntilTheTwoSecondPassFindsItClosed) {
    TestClient events(port(), "127.0.0.3");
    events.send("GET /transcription HTTP/1.1\r\n\r\n");
    EXPECT_EQ(events.readExactly(server::kEventStreamHead.size()), server::kEventStreamHead);
    EXPECT_EQ(events.readExactly(12), server::kKeepAlive) << "a keep-alive follows registration at once";
    ASSERT_TRUE(queue_.runUntil([&] { return queue_.pendingCount() == 3; })) << "two cleanup timers and the keep-alive";
    queue_.advance(15s);
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

// The log volume is the behaviour here: a service's journal must stay readable, and `verbose`
// brings back every per-chunk and per-poll line for debugging.
TEST_F(ServerTest, PerChunkAndPerPollLinesAreSummedUpUnlessVerbose) {
    const auto total = [this](const std::string& prefix) {
        long sum = 0;
        for (const auto& line : log_.lines())
            if (line.starts_with(prefix)) sum += std::stol(line.substr(prefix.size()));
        return sum;
    };
    for (const bool verbose : {false, true}) {
        SCOPED_TRACE(verbose ? "verbose" : "quiet");
        server_->stop();
        log_.clear();
        startServer({.verbose = verbose});
        auto a = connectAudio();
        for (int i = 0; i < 20; ++i) server_->sendAudioData(chunkOf(std::string(100, 'x')));
        for (int i = 0; i < 3; ++i) status();
        EXPECT_EQ(a.readExactly(2000).size(), 2000u);
        // Within about a second, one line for the chunks and one for the polls, with their totals.
        if (!verbose) EXPECT_TRUE(queue_.runUntil([&] { return total("Served ") == 3 && total("Broadcast ") == 20; }));
        EXPECT_EQ(log_.count("Broadcasting 100 bytes to 1 connections"), verbose ? 20 : 0);
        EXPECT_EQ(log_.count("Serving status"), verbose ? 3 : 0);
    }
}
