#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "core/notification_center.h"
#include "fakes/capture_logger.h"
#include "fakes/virtual_main_queue.h"
#include "server/simple_http_server.h"
#include "support/test_client.h"

namespace lumeno::testing {

// A real server on 127.0.0.1 with an ephemeral port, a virtual main queue and captured logs.
class ServerTest : public ::testing::Test {
protected:
    void SetUp() override { startServer({}); }
    void TearDown() override {
        if (server_) server_->stop();
    }

    void startServer(server::SimpleHTTPServer::Options options, std::optional<core::AudioFormat> format = {}) {
        options.bindAddress = "127.0.0.1";
        notifications_.addObserver(server::kListenerCountChanged, [this](const core::Notification& n) {
            counts_.push_back(n.get<std::int64_t>("count").value_or(-1));
        });
        server_ = server::SimpleHTTPServer::create(0, format, {queue_, notifications_, log_}, options);
        server_->start();
        ASSERT_TRUE(log_.waitForPrefix("Server ready on port "));
        queue_.runUntilIdle();
    }

    std::uint16_t port() const { return server_->port(); }

    // A client that asked for `target` and read the response head (kept in `head` when given).
    TestClient open(const std::string& target, const std::string& host = "127.0.0.1", int receiveBuffer = 0,
                    std::string* head = nullptr) {
        TestClient client(port(), host, receiveBuffer);
        client.send("GET " + target + " HTTP/1.1\r\nHost: x\r\n\r\n");
        const std::string received = client.readHead();
        if (head) *head = received;
        return client;
    }
    TestClient connectAudio(const std::string& host = "127.0.0.1", int receiveBuffer = 0) {
        return open("/audio", host, receiveBuffer);
    }
    TestClient connectEvents(const std::string& host = "127.0.0.1") { return open("/transcription", host); }
    std::string status() { return fetch(port(), "GET /status HTTP/1.1\r\n\r\n"); }

    // Waits (bounded) until the last published count equals `expected`.
    bool waitForCount(std::int64_t expected) {
        return queue_.runUntil([&] { return !counts_.empty() && counts_.back() == expected; });
    }

    static core::SharedBytes chunkOf(const std::string& bytes) {
        return std::make_shared<const std::vector<std::uint8_t>>(bytes.begin(), bytes.end());
    }

    VirtualMainQueue queue_;
    core::NotificationCenter notifications_;
    CaptureLogger log_;
    std::vector<std::int64_t> counts_;
    std::shared_ptr<server::SimpleHTTPServer> server_;
};

}  // namespace lumeno::testing
