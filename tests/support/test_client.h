#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace lumeno::testing {

// A blocking loopback TCP client for server tests: plain POSIX sockets with bounded waits.
class TestClient {
public:
    // Connects to 127.0.0.1:port from `sourceAddress` (any 127.x.y.z address, so tests can act as
    // several hosts). receiveBuffer > 0 shrinks SO_RCVBUF before connecting (a slow reader).
    explicit TestClient(std::uint16_t port, const std::string& sourceAddress = "127.0.0.1", int receiveBuffer = 0);
    ~TestClient();
    TestClient(TestClient&& other) noexcept;
    TestClient& operator=(TestClient&&) = delete;
    TestClient(const TestClient&) = delete;

    bool connected() const { return fd_ >= 0; }
    void send(const std::string& bytes);
    void shutdownWrite();
    void close();

    // Reads until the server closes or `timeout` passes.
    std::string readUntilClosed(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Reads exactly n bytes, or fewer if the timeout passes or the peer closes.
    std::string readExactly(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Reads up to and including the blank line that ends a response head.
    std::string readHead(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // True when the server has closed the connection (EOF or reset) within `timeout`.
    bool waitForClose(std::chrono::milliseconds timeout = std::chrono::seconds(5));

private:
    int fd_ = -1;
};

// One whole exchange: connect, send, read until the server closes.
std::string fetch(std::uint16_t port, const std::string& request);

}  // namespace lumeno::testing
