#pragma once

// What the benchmarks that run servers as child processes share: a free loopback port to give
// them, and a stop that asks first and forces only when asking does not end the child.

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <thread>

namespace bench {

// 0 when the system gives no port.
inline std::uint16_t freeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    std::uint16_t port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) == 0)
        port = ntohs(addr.sin_port);
    ::close(fd);
    return port;
}

// SIGTERM, then SIGKILL if the child is still there after `grace`.
inline void stopChild(pid_t pid, std::chrono::milliseconds grace) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    const auto end = std::chrono::steady_clock::now() + grace;
    while (::waitpid(pid, nullptr, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= end) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

}  // namespace bench
