#include "support/test_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace lumeno::testing {

TestClient::TestClient(std::uint16_t port, const std::string& sourceAddress, int receiveBuffer) {
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
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

TestClient::~TestClient() { close(); }

TestClient::TestClient(TestClient&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

void TestClient::send(const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return;
        sent += static_cast<std::size_t>(n);
    }
}

void TestClient::shutdownWrite() { ::shutdown(fd_, SHUT_WR); }

void TestClient::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

namespace {
// Waits for readability until the deadline; false on timeout.
bool waitReadable(int fd, std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(left.count())) > 0;
}
}  // namespace

std::string TestClient::readUntilClosed(std::chrono::milliseconds timeout) {
    return readExactly(std::string::npos, timeout);
}

std::string TestClient::readExactly(std::size_t n, std::chrono::milliseconds timeout) {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char buffer[65536];
    while (fd_ >= 0 && out.size() < n && waitReadable(fd_, deadline)) {
        const ssize_t got = ::recv(fd_, buffer, std::min(sizeof buffer, n - out.size()), 0);
        if (got <= 0) break;
        out.append(buffer, static_cast<std::size_t>(got));
    }
    return out;
}

std::string TestClient::readHead(std::chrono::milliseconds timeout) {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (fd_ >= 0 && out.find("\r\n\r\n") == std::string::npos && waitReadable(fd_, deadline)) {
        char c;
        if (::recv(fd_, &c, 1, 0) != 1) break;
        out += c;
    }
    return out;
}

bool TestClient::waitForClose(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char buffer[65536];
    while (fd_ >= 0 && waitReadable(fd_, deadline)) {
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return true;
    }
    return false;
}

std::string fetch(std::uint16_t port, const std::string& request) {
    TestClient client(port);
    client.send(request);
    return client.readUntilClosed();
}

}  // namespace lumeno::testing
