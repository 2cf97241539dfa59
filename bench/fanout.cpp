// Fan-out benchmark: N listeners on loopback, fed 48 kHz mono chunks of 4096 frames in real time.
//
//   scripts/bench fanout [--listeners N] [--seconds S] [--burst] [--codec opus]
//
// The listeners run in a child process (forked before the server starts), so the server's CPU
// figure is this process's alone. Every chunk carries its send time and sequence number in its
// first 16 bytes; the child measures lag at the receipt of each chunk's last byte (both processes
// read CLOCK_MONOTONIC) and counts missed chunks by sequence gaps.
//
// With --codec opus the listeners ask for the Ogg Opus stream. The parent holds one Opus
// connection of its own before feeding, so the encoder's first input is chunk 0 and a page's
// granule position names the chunk that completed it; lag is measured against that chunk's send
// time, and missed pages are counted by page sequence gaps.
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
    bool opus = false;
};

constexpr std::int64_t kOpusFrame = 960;

// Messages on the child-to-parent pipe.
struct ChildReport {
    int accepted = 0;  // heads received
    std::int64_t received = 0;
    std::int64_t missed = 0;
    double lagP50Ms = 0, lagP99Ms = 0;
    double bytesPerListenerSecond = 0;
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
    std::int64_t bytes = 0;   // after the head
    std::string page;         // Opus: the page being received
};

// One Ogg page's receipt: its granule position and when its last byte arrived.
struct PageReceipt {
    std::int64_t granule;
    std::int64_t at;
};

// Opus: takes whole pages off the front of c.page, counting audio pages by sequence.
void takePages(Client& c, std::int64_t at, std::vector<PageReceipt>& receipts) {
    for (;;) {
        if (c.page.size() < 27) return;
        const auto* p = reinterpret_cast<const unsigned char*>(c.page.data());
        const std::size_t segments = p[26];
        if (c.page.size() < 27 + segments) return;
        std::size_t size = 27 + segments;
        for (std::size_t i = 0; i < segments; ++i) size += p[27 + i];
        if (c.page.size() < size) return;
        std::int64_t granule = 0;
        std::uint32_t sequence = 0;
        std::memcpy(&granule, p + 6, 8);
        std::memcpy(&sequence, p + 18, 4);
        if (sequence >= 2) {  // 0 and 1 are the headers
            if (c.firstSeq < 0) c.firstSeq = sequence;
            ++c.received;
            receipts.push_back({granule, at});
        }
        c.page.erase(0, size);
    }
}

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
    std::vector<PageReceipt> receipts;
    std::uint16_t port = 0;
    if (!readAll(fromParent, &port, sizeof port)) return 1;
    const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
    std::vector<Client> clients(static_cast<std::size_t>(config.listeners));
    std::vector<std::int64_t> lags;
    lags.reserve(static_cast<std::size_t>(config.listeners) * (static_cast<std::size_t>(config.seconds) + 10) * 12);
    const char* request = config.opus ? "GET /audio?codec=opus HTTP/1.1\r\nHost: bench\r\n\r\n"
                                      : "GET /audio HTTP/1.1\r\nHost: bench\r\n\r\n";
    const std::size_t requestSize = std::strlen(request);

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
                if (::send(c.fd, request, requestSize, MSG_NOSIGNAL) > 0) {
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
            c.bytes += static_cast<std::int64_t>(size - i);
            if (config.opus) {
                c.page.append(reinterpret_cast<const char*>(&buffer[i]), size - i);
                takePages(c, at, receipts);
                continue;
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
    std::int64_t bytes = 0;
    for (const Client& c : clients) bytes += c.bytes;
    if (config.opus) {
        // The parent sends every chunk's send time after the last sequence number.
        std::vector<std::int64_t> sentAt(static_cast<std::size_t>(std::max<std::int64_t>(lastSeq + 1, 0)));
        if (!sentAt.empty()) readAll(fromParent, sentAt.data(), sentAt.size() * sizeof(std::int64_t));
        // Pages every listener should have: those whose frame ends within the chunks sent.
        const std::int64_t lastPageSeq = (lastSeq + 1) * static_cast<std::int64_t>(kFrames) / kOpusFrame + 1;
        std::int64_t pages = 0;
        for (const Client& c : clients) {
            report.received += c.received;
            pages += c.received;
            if (c.firstSeq >= 0 && lastPageSeq >= c.firstSeq)
                report.missed += std::max<std::int64_t>(0, (lastPageSeq - c.firstSeq + 1) - c.received);
        }
        for (const PageReceipt& r : receipts) {
            const auto chunk = static_cast<std::size_t>((r.granule - 1) / static_cast<std::int64_t>(kFrames));
            if (chunk < sentAt.size()) lags.push_back(r.at - sentAt[chunk]);
        }
        report.bytesPerListenerSecond = pages > 0 ? static_cast<double>(bytes) / (static_cast<double>(pages) * 0.02) : 0;
    } else {
        for (const Client& c : clients) {
            report.received += c.received;
            if (c.firstSeq >= 0 && lastSeq >= c.firstSeq) report.missed += (lastSeq - c.firstSeq + 1) - c.received;
        }
        const double seconds = static_cast<double>(report.received) * static_cast<double>(kFrames) / kRate;
        report.bytesPerListenerSecond = seconds > 0 ? static_cast<double>(bytes) / seconds : 0;
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
        else if (arg == "--codec" && i + 1 < argc && (std::strcmp(argv[i + 1], "opus") == 0 || std::strcmp(argv[i + 1], "pcm") == 0))
            config.opus = std::strcmp(argv[++i], "opus") == 0;
        else {
            std::fprintf(stderr, "usage: bench_fanout [--listeners N] [--seconds S] [--burst] [--codec pcm|opus]\n");
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
    // Opus: the encoder starts with this connection, before chunk 0, and it is read until
    // every listener is in so that it is never the one cut off.
    int probe = -1;
    if (config.opus) {
        probe = connectOne(port);
        pollfd w{probe, POLLOUT, 5000};
        ::poll(&w, 1, 5000);
        const char probeRequest[] = "GET /audio?codec=opus HTTP/1.1\r\n\r\n";
        ::send(probe, probeRequest, sizeof probeRequest - 1, MSG_NOSIGNAL);
        std::string head;
        char byte;
        pollfd r{probe, POLLIN, 0};
        while (head.find("\r\n\r\n") == std::string::npos && ::poll(&r, 1, 5000) > 0 && ::recv(probe, &byte, 1, 0) == 1)
            head += byte;
        if (head.find("audio/ogg") == std::string::npos) {
            std::fprintf(stderr, "the server did not answer with an Ogg Opus stream\n");
            return 1;
        }
    }
    writeAll(down[1], &port, sizeof port);

    // Feed in real time from the start; the measured window opens once every listener is in.
    const auto period = std::chrono::nanoseconds(static_cast<std::int64_t>(1e9 * kFrames / kRate));
    std::int64_t seq = 0;
    std::vector<std::int64_t> sentAt;
    auto next = std::chrono::steady_clock::now();
    auto feedOne = [&] {
        auto chunk = std::make_shared<std::vector<std::uint8_t>>(kChunkBytes, 0);
        const std::int64_t at = nowNs();
        std::memcpy(chunk->data(), &at, 8);
        std::memcpy(chunk->data() + 8, &seq, 8);
        sentAt.push_back(at);
        ++seq;
        if (probe >= 0) {
            char sink[4096];
            while (::recv(probe, sink, sizeof sink, MSG_DONTWAIT) > 0) {
            }
        }
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
    if (probe >= 0) {
        ::close(probe);
        probe = -1;
    }

    const std::int64_t firstMeasured = seq;
    const double cpuStart = processCpuSeconds();
    const auto wallStart = std::chrono::steady_clock::now();
    const auto end = wallStart + std::chrono::seconds(config.seconds);
    while (std::chrono::steady_clock::now() < end) feedOne();
    const double cpu = processCpuSeconds() - cpuStart;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();

    const std::int64_t lastSeq = seq - 1;
    writeAll(down[1], &lastSeq, sizeof lastSeq);
    if (config.opus) writeAll(down[1], sentAt.data(), sentAt.size() * sizeof(std::int64_t));
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
                " server_cpu_pct=%.2f lag_p50_ms=%.2f lag_p99_ms=%.2f rss_mb=%.1f",
                config.listeners, config.seconds, seq, report.missed, 100.0 * cpu / wall, report.lagP50Ms,
                report.lagP99Ms, rss);
    if (config.opus) std::printf(" bytes_per_listener_s=%.0f", report.bytesPerListenerSecond);
    std::printf("\n");
    return report.accepted == config.listeners && report.missed == 0 ? 0 : 1;
}
