// Fan-out benchmark: N listeners on loopback, fed 48 kHz mono chunks of 4096 frames in real time.
//
//   scripts/bench fanout [--listeners N] [--seconds S] [--burst]
//
// The listeners run in a child process (forked before the server starts), so the server's CPU
// figure is this process's alone. Every chunk carries its send time and sequence number in its
// first 16 bytes; the child measures lag at the receipt of each chunk's last byte (both processes
// read CLOCK_MONOTONIC) and counts missed chunks by sequence gaps.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "core/log.h"
#include "core/notification_center.h"
#include "core/thread_main_queue.h"
#include "server/simple_http_server.h"

namespace {

constexpr std::size_t kFrames = 4096;
constexpr double kRate = 48000.0;
constexpr std::size_t kChunkBytes = kFrames * 2;

std::int64_t nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

struct Config {
    int listeners = 1000;
    int seconds = 20;
    bool burst = false;
};

// Messages on the child-to-parent pipe.
struct ChildReport {
    int accepted = 0;  // heads received
    std::int64_t received = 0;
    std::int64_t missed = 0;
    double lagP50Ms = 0, lagP99Ms = 0;
};

bool writeAll(int fd, const void* data, std::size_t size) {
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool readAll(int fd, void* data, std::size_t size) {
    auto* p = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t n = ::read(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

void raiseFileLimit() {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
}

struct Client {
    int fd = -1;
    std::string head;
    bool streaming = false;
    std::size_t offset = 0;  // bytes into the current chunk
    unsigned char stamp[16];
    std::int64_t firstSeq = -1;
    std::int64_t received = 0;
};

int connectOne(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);  // EINPROGRESS: completes in epoll
    return fd;
}

// The listeners: connect (ramped or all at once), request /audio, read and time every chunk.
int runListeners(const Config& config, int fromParent, int toParent) {
    std::uint16_t port = 0;
    if (!readAll(fromParent, &port, sizeof port)) return 1;
    const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
    std::vector<Client> clients(static_cast<std::size_t>(config.listeners));
    std::vector<std::int64_t> lags;
    lags.reserve(static_cast<std::size_t>(config.listeners) * (static_cast<std::size_t>(config.seconds) + 10) * 12);
    const char request[] = "GET /audio HTTP/1.1\r\nHost: bench\r\n\r\n";

    auto open = [&](std::size_t i) {
        Client& c = clients[i];
        c.fd = connectOne(port);
        epoll_event ev{};
        ev.events = EPOLLOUT | EPOLLIN;
        ev.data.u64 = i;
        ::epoll_ctl(epoll, EPOLL_CTL_ADD, c.fd, &ev);
    };

    std::size_t opened = 0;
    int accepted = 0;
    bool reportedAccepted = false;
    std::int64_t lastSeq = -1;
    bool draining = false;
    std::int64_t drainUntil = 0;
    const std::int64_t rampStep = config.burst ? 0 : 2'000'000'000LL / std::max(1, config.listeners);  // over 2 s
    std::int64_t nextOpen = nowNs();
    std::vector<epoll_event> events(1024);
    std::vector<unsigned char> buffer(256 * 1024);

    for (;;) {
        const std::int64_t now = nowNs();
        while (opened < clients.size() && (config.burst || now >= nextOpen)) {
            open(opened++);
            nextOpen += rampStep;
        }
        if (!reportedAccepted && accepted == config.listeners) {
            reportedAccepted = true;
            const char ready = 'R';
            writeAll(toParent, &ready, 1);
        }
        if (!draining) {
            // The parent sends the last sequence number it sent when it is done feeding.
            pollfd p{fromParent, POLLIN, 0};
            if (::poll(&p, 1, 0) > 0) {
                if (!readAll(fromParent, &lastSeq, sizeof lastSeq)) lastSeq = -1;
                draining = true;
                drainUntil = nowNs() + 500'000'000LL;
            }
        } else if (now > drainUntil) {
            break;
        }
        const int n = ::epoll_wait(epoll, events.data(), static_cast<int>(events.size()), 5);
        for (int k = 0; k < n; ++k) {
            Client& c = clients[events[static_cast<std::size_t>(k)].data.u64];
            if (events[static_cast<std::size_t>(k)].events & EPOLLOUT) {
                if (::send(c.fd, request, sizeof request - 1, MSG_NOSIGNAL) > 0) {
                    epoll_event ev{};
                    ev.events = EPOLLIN;
                    ev.data.u64 = events[static_cast<std::size_t>(k)].data.u64;
                    ::epoll_ctl(epoll, EPOLL_CTL_MOD, c.fd, &ev);
                }
                continue;
            }
            const ssize_t got = ::recv(c.fd, buffer.data(), buffer.size(), 0);
            if (got <= 0) {
                if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                    ::epoll_ctl(epoll, EPOLL_CTL_DEL, c.fd, nullptr);
                }
                continue;
            }
            const std::int64_t at = nowNs();
            std::size_t i = 0;
            const auto size = static_cast<std::size_t>(got);
            if (!c.streaming) {
                while (i < size && !c.streaming) {
                    c.head += static_cast<char>(buffer[i++]);
                    if (c.head.size() >= 4 && c.head.compare(c.head.size() - 4, 4, "\r\n\r\n") == 0) {
                        c.streaming = true;
                        ++accepted;
                    }
                }
            }
            while (i < size) {
                const std::size_t take = std::min(size - i, kChunkBytes - c.offset);
                if (c.offset < 16) std::memcpy(c.stamp + c.offset, &buffer[i], std::min<std::size_t>(take, 16 - c.offset));
                c.offset += take;
                i += take;
                if (c.offset == kChunkBytes) {
                    std::int64_t sentAt, seq;
                    std::memcpy(&sentAt, c.stamp, 8);
                    std::memcpy(&seq, c.stamp + 8, 8);
                    if (c.firstSeq < 0) c.firstSeq = seq;
                    ++c.received;
                    lags.push_back(at - sentAt);
                    c.offset = 0;
                }
            }
        }
    }

    ChildReport report;
    report.accepted = accepted;
    for (const Client& c : clients) {
        report.received += c.received;
        if (c.firstSeq >= 0 && lastSeq >= c.firstSeq) report.missed += (lastSeq - c.firstSeq + 1) - c.received;
    }
    std::sort(lags.begin(), lags.end());
    auto percentile = [&](double p) {
        if (lags.empty()) return 0.0;
        return static_cast<double>(lags[static_cast<std::size_t>(p * static_cast<double>(lags.size() - 1))]) / 1e6;
    };
    report.lagP50Ms = percentile(0.50);
    report.lagP99Ms = percentile(0.99);
    writeAll(toParent, &report, sizeof report);
    return 0;
}

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double peakRssMb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Config config;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--listeners" && i + 1 < argc) config.listeners = std::atoi(argv[++i]);
        else if (arg == "--seconds" && i + 1 < argc) config.seconds = std::atoi(argv[++i]);
        else if (arg == "--burst") config.burst = true;
        else {
            std::fprintf(stderr, "usage: bench_fanout [--listeners N] [--seconds S] [--burst]\n");
            return 2;
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
    raiseFileLimit();

    int down[2], up[2];
    if (::pipe(down) != 0 || ::pipe(up) != 0) return 1;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(down[1]);
        ::close(up[0]);
        _exit(runListeners(config, down[0], up[1]));
    }
    ::close(down[0]);
    ::close(up[1]);

    using namespace lumeno;
    core::NullLogger log;
    core::NotificationCenter notifications;
    core::ThreadMainQueue mainQueue;
    auto server = server::SimpleHTTPServer::create(0, core::AudioFormat{kRate, 1}, {mainQueue, notifications, log},
                                                   {.bindAddress = "127.0.0.1",
                                                    // Every listener here shares one address.
                                                    .maxConnectionsPerHost = 1u << 20,
                                                    .maxConnections = 1u << 20});
    server->start();
    server->setStreaming(true);
    const std::uint16_t port = server->port();
    writeAll(down[1], &port, sizeof port);

    // Feed in real time from the start; the measured window opens once every listener is in.
    const auto period = std::chrono::nanoseconds(static_cast<std::int64_t>(1e9 * kFrames / kRate));
    std::int64_t seq = 0;
    auto next = std::chrono::steady_clock::now();
    auto feedOne = [&] {
        auto chunk = std::make_shared<std::vector<std::uint8_t>>(kChunkBytes, 0);
        const std::int64_t at = nowNs();
        std::memcpy(chunk->data(), &at, 8);
        std::memcpy(chunk->data() + 8, &seq, 8);
        ++seq;
        server->sendAudioData(std::move(chunk));
        next += period;
        std::this_thread::sleep_until(next);
    };

    const auto connectDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    bool allIn = false;
    while (!allIn && std::chrono::steady_clock::now() < connectDeadline) {
        feedOne();
        pollfd p{up[0], POLLIN, 0};
        if (::poll(&p, 1, 0) > 0) {
            char ready;
            allIn = readAll(up[0], &ready, 1);
        }
    }
    if (!allIn) std::fprintf(stderr, "not every listener received the stream head within 30 s\n");

    const std::int64_t firstMeasured = seq;
    const double cpuStart = processCpuSeconds();
    const auto wallStart = std::chrono::steady_clock::now();
    const auto end = wallStart + std::chrono::seconds(config.seconds);
    while (std::chrono::steady_clock::now() < end) feedOne();
    const double cpu = processCpuSeconds() - cpuStart;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();

    const std::int64_t lastSeq = seq - 1;
    writeAll(down[1], &lastSeq, sizeof lastSeq);
    ChildReport report;
    const bool gotReport = readAll(up[0], &report, sizeof report);
    int status = 0;
    ::waitpid(child, &status, 0);
    const double rss = peakRssMb();
    server->stop();
    if (!gotReport) {
        std::fprintf(stderr, "listener process failed\n");
        return 1;
    }
    std::printf("accepted=%d/%d measured_chunks=%" PRId64 "\n", report.accepted, config.listeners, seq - firstMeasured);
    std::printf("fanout listeners=%d seconds=%d chunks_sent=%" PRId64 " chunks_missed=%" PRId64
                " server_cpu_pct=%.2f lag_p50_ms=%.2f lag_p99_ms=%.2f rss_mb=%.1f\n",
                config.listeners, config.seconds, seq, report.missed, 100.0 * cpu / wall, report.lagP50Ms,
                report.lagP99Ms, rss);
    return report.accepted == config.listeners && report.missed == 0 ? 0 : 1;
}
