#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace lumeno::testing {

// A blocking loopback TCP client for server tests: plain POSIX sockets with bounded waits.
class TestClient {
public:
    // Connects to 127.0.0.1:port from `sourceAddress` (any 127.x.y.z address, so tests can act as
    // several hosts). receiveBuffer > 0 shrinks SO_RCVBUF before connecting (a slow reader).
    explicit TestClient(std::uint16_t port, const std::string& sourceAddress = "127.0.0.1", int receiveBuffer = 0) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) throw std::runtime_error("socket failed");
        if (receiveBuffer > 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        ::inet_pton(AF_INET, sourceAddress.c_str(), &local.sin_addr);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) throw std::runtime_error("bind failed");
        sockaddr_in remote{};
        remote.sin_family = AF_INET;
        remote.sin_port = htons(port);
        ::inet_pton(AF_INET, "127.0.0.1", &remote.sin_addr);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) close();
    }
    ~TestClient() { close(); }
    TestClient(TestClient&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    TestClient& operator=(TestClient&&) = delete;
    TestClient(const TestClient&) = delete;

    bool connected() const { return fd_ >= 0; }
    void send(const std::string& bytes) {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return;
            sent += static_cast<std::size_t>(n);
        }
    }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    // Reads until the server closes or `timeout` passes.
    std::string readUntilClosed(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        return readExactly(std::string::npos, timeout);
    }
    // Reads exactly n bytes, or fewer if the timeout passes or the peer closes.
    std::string readExactly(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        std::string out;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        char buffer[65536];
        while (fd_ >= 0 && out.size() < n && readable(deadline)) {
            const ssize_t got = ::recv(fd_, buffer, std::min(sizeof buffer, n - out.size()), 0);
            if (got <= 0) break;
            out.append(buffer, static_cast<std::size_t>(got));
        }
        return out;
    }
    // Reads up to and including the blank line that ends a response head.
    std::string readHead(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        std::string out;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (fd_ >= 0 && out.find("\r\n\r\n") == std::string::npos && readable(deadline)) {
            char c;
            if (::recv(fd_, &c, 1, 0) != 1) break;
            out += c;
        }
        return out;
    }
    // True when the server has closed the connection (EOF or reset) within `timeout`.
    bool waitForClose(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        char buffer[65536];
        while (fd_ >= 0 && readable(deadline)) {
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return true;
        }
        return false;
    }

private:
    // Waits for readability until the deadline; false on timeout.
    bool readable(std::chrono::steady_clock::time_point deadline) const {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, static_cast<int>(left.count())) > 0;
    }

    int fd_ = -1;
};

// One whole exchange: connect, send, read until the server closes.
inline std::string fetch(std::uint16_t port, const std::string& request) {
    TestClient client(port);
    client.send(request);
    return client.readUntilClosed();
}

}  // namespace lumeno::testing
