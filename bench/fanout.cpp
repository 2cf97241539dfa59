// Fan-out benchmark: N listeners on loopback, fed 48 kHz mono chunks of one capture block each
// in real time.
//
//   scripts/bench fanout [--listeners N] [--seconds S] [--burst] [--frames N[,N...]]
//                        [--baseline icecast] [--codec opus|mp3]
//
// The listeners run in a child process (forked before the server starts), so the server's CPU
// figure is the server process's alone. Every chunk starts with a marker, its send time and its
// sequence number; the child measures lag at the receipt of each chunk's last byte (both
// processes read CLOCK_MONOTONIC) and counts missed chunks by sequence gaps. The marker lets a
// listener find the first whole chunk in a relay that starts it mid-chunk.
//
// Reading every small chunk on every connection would cost the listener process more than the
// server and, on a shared machine, starve it. So one listener in kProbeEvery reads at once and
// alone gives the lag figures; the others are woken only once kLazyReadBytes have arrived (their
// receive buffers are far larger, so the server's sends never wait on them) and are read out
// fully at the end. Every listener counts missed chunks.
//
// --frames takes several sizes to compare blocks in one run. --baseline icecast runs the same
// load through a private Icecast (Debian's icecast2: a temporary config, loopback only, a free
// port) fed the same chunks as a source, and prints each Lumeno figure as a share of its CPU.
// Both servers' CPU is read the same way, from /proc/<pid>/stat, over the same measured window.
//
// With --codec opus the listeners ask for the Ogg Opus stream. The parent holds one Opus
// connection of its own before feeding, so the encoder's first input is chunk 0 and a page's
// granule position names the chunk that completed it: lag is measured against that chunk's send
// time, and missed pages are counted by page sequence gaps. The Icecast baseline relays raw PCM
// only, so it is not offered with Opus or MP3.
//
// With --codec mp3 the listeners take /audio.mp3 and walk its frames. MP3 frames carry no
// sequence number or time, so there is no lag figure; instead the listeners that read at once
// give their frame rate over their own span of the run (41.7 a second when nothing is lost), and
// a byte that is not where a frame should start counts as lost framing on any listener.
#include "bench_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/audio_format.h"
#include "core/base64.h"
#include "core/log.h"
#include "core/notification_center.h"
#include "core/thread_main_queue.h"
#include "server/mp3_stream.h"
#include "server/simple_http_server.h"

namespace {

constexpr double kRate = 48000.0;
constexpr char kMarker[8] = {'L', 'U', 'M', 'F', 'A', 'N', 'O', 'U'};
constexpr std::size_t kStampBytes = 24;  // marker, send time, sequence number
constexpr std::size_t kMinFrames = kStampBytes / 2;
constexpr std::size_t kProbeEvery = 50;
constexpr int kLazyReadBytes = 32 * 1024;
// About a second of a compressed stream: the head and header pages alone must not wait for more.
constexpr int kLazyReadBytesEncoded = 4 * 1024;
constexpr std::int64_t kOpusFrame = 960;  // samples per page: one 20 ms packet each

std::int64_t nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

struct Config {
    int listeners = 1000;
    int seconds = 20;
    bool burst = false;
    std::vector<std::size_t> frames{lumeno::core::kCaptureBlockFrames};
    bool icecast = false;
    bool opus = false;
    bool mp3 = false;
    bool encoded() const { return opus || mp3; }
};

// What the listener process sends back after a run.
struct ChildReport {
    int accepted = 0;  // heads received
    std::int64_t received = 0;
    std::int64_t missed = 0;
    double lagP50Ms = 0, lagP99Ms = 0;
    double bytesPerListenerSecond = 0;  // compressed streams only
    double framesPerListenerSecond = 0;  // MP3 only
    std::int64_t lostFraming = 0;        // listeners, compressed streams only
};

struct Result {
    std::string server;
    std::size_t frames = 0;
    bool ran = false;
    ChildReport report;
    std::int64_t sent = 0, measured = 0;
    double cpuPct = 0, rssMb = 0;
};

bool sendAll(int fd, const void* data, std::size_t size) {
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool writePipe(int fd, const void* data, std::size_t size) {
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
    bool synced = false;
    std::uint64_t window = 0;  // the last eight bytes while looking for a marker
    std::size_t offset = 0;    // bytes into the current chunk
    unsigned char stamp[kStampBytes];
    std::int64_t firstSeq = -1;  // chunk or, with Opus, page sequence number
    std::int64_t received = 0;
    std::int64_t bytes = 0;  // after the head
    // Opus: the head of the page being read, then how much of its body is still to come (MP3: of
    // the frame).
    std::string pageHead;
    std::size_t bodyLeft = 0;
    bool lostFraming = false;
    std::int64_t firstAt = 0, lastAt = 0;  // MP3: when the first and the last whole frame arrived
};

// One Ogg page's receipt on a probe listener: its granule position and when its last byte arrived.
struct PageReceipt {
    std::int64_t granule;
    std::int64_t at;
};

// Walks the Ogg pages in the bytes [i, size), copying only page heads: counts audio pages and,
// on a probe listener, notes when each one completed.
void readPages(Client& c, const unsigned char* data, std::size_t size, std::int64_t at,
               std::vector<PageReceipt>* receipts) {
    std::size_t i = 0;
    while (i < size && !c.lostFraming) {
        if (c.bodyLeft > 0) {
            const std::size_t take = std::min(size - i, c.bodyLeft);
            i += take;
            c.bodyLeft -= take;
            if (c.bodyLeft > 0) return;
        } else {
            // 27 fixed bytes, then one lacing value per segment, their count in byte 26.
            auto headSize = [&] {
                if (c.pageHead.size() < 27) return std::size_t{27};
                return 27 + std::size_t{static_cast<unsigned char>(c.pageHead[26])};
            };
            const std::size_t need = headSize();
            const std::size_t take = std::min(size - i, need - c.pageHead.size());
            c.pageHead.append(reinterpret_cast<const char*>(data + i), take);
            i += take;
            if (c.pageHead.size() >= 4 && c.pageHead.compare(0, 4, "OggS") != 0) {
                c.lostFraming = true;  // the server never splits a page, so this is a fault
                return;
            }
            if (c.pageHead.size() < headSize()) continue;
            const auto* head = reinterpret_cast<const unsigned char*>(c.pageHead.data());
            for (std::size_t s = 0; s < head[26]; ++s) c.bodyLeft += head[27 + s];
            if (c.bodyLeft > 0) continue;
        }
        // A whole page: its head is in c.pageHead.
        const auto* head = reinterpret_cast<const unsigned char*>(c.pageHead.data());
        std::int64_t granule = 0;
        std::uint32_t sequence = 0;
        std::memcpy(&granule, head + 6, 8);  // little-endian, as is this machine
        std::memcpy(&sequence, head + 18, 4);
        if (sequence >= 2) {  // 0 and 1 are the OpusHead and OpusTags pages
            if (c.firstSeq < 0) c.firstSeq = sequence;
            ++c.received;
            if (receipts) receipts->push_back({granule, at});
        }
        c.pageHead.clear();
    }
}

// Walks the MP3 frames in the bytes, copying only frame headers, and counts whole frames.
void readMp3Frames(Client& c, const unsigned char* data, std::size_t size, std::int64_t at) {
    std::size_t i = 0;
    while (i < size && !c.lostFraming) {
        if (c.bodyLeft == 0) {
            const std::size_t take = std::min(size - i, 4 - c.pageHead.size());
            c.pageHead.append(reinterpret_cast<const char*>(data + i), take);
            i += take;
            if (c.pageHead.size() < 4) return;
            const std::size_t length = lumeno::server::mp3FrameLength(reinterpret_cast<const std::uint8_t*>(c.pageHead.data()));
            if (length == 0) {
                c.lostFraming = true;  // the server only ever sends whole frames
                return;
            }
            c.bodyLeft = length - 4;
        }
        const std::size_t take = std::min(size - i, c.bodyLeft);
        i += take;
        c.bodyLeft -= take;
        if (c.bodyLeft > 0) return;
        c.pageHead.clear();
        if (c.received++ == 0) c.firstAt = at;
        c.lastAt = at;
    }
}

std::uint64_t markerWord() {
    std::uint64_t word = 0;
    for (char c : kMarker) word = (word << 8) | static_cast<unsigned char>(c);
    return word;
}

int connectOne(std::uint16_t port, bool blocking) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (blocking ? 0 : SOCK_NONBLOCK), 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // Non-blocking: EINPROGRESS, completed in epoll.
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 && blocking) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// The listeners: connect (ramped or all at once), request the stream, read and time every chunk.
int runListeners(const Config& config, std::size_t chunkBytes, const std::string& path, int fromParent, int toParent) {
    std::uint16_t port = 0;
    if (!readAll(fromParent, &port, sizeof port)) return 1;
    const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
    std::vector<Client> clients(static_cast<std::size_t>(config.listeners));
    std::vector<std::int64_t> lags;
    lags.reserve((static_cast<std::size_t>(config.listeners) / kProbeEvery + 1) * static_cast<std::size_t>(config.seconds + 40) *
                 static_cast<std::size_t>(kRate * 2 / static_cast<double>(chunkBytes) + 1));
    const std::string request = "GET " + path + " HTTP/1.0\r\nHost: bench\r\n\r\n";
    const std::uint64_t marker = markerWord();
    std::vector<PageReceipt> receipts;
    const int lazyReadBytes = config.encoded() ? kLazyReadBytesEncoded : kLazyReadBytes;

    auto open = [&](std::size_t i) {
        Client& c = clients[i];
        c.fd = connectOne(port, false);
        if (i % kProbeEvery != 0) ::setsockopt(c.fd, SOL_SOCKET, SO_RCVLOWAT, &lazyReadBytes, sizeof lazyReadBytes);
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
            writePipe(toParent, &ready, 1);
        }
        if (!draining) {
            // The parent sends the last sequence number it sent when it is done feeding.
            pollfd p{fromParent, POLLIN, 0};
            if (::poll(&p, 1, 0) > 0) {
                if (!readAll(fromParent, &lastSeq, sizeof lastSeq)) lastSeq = -1;
                draining = true;
                drainUntil = nowNs() + 500'000'000LL;
                const int one = 1;
                for (std::size_t k = 0; k < opened; ++k)
                    ::setsockopt(clients[k].fd, SOL_SOCKET, SO_RCVLOWAT, &one, sizeof one);
            }
        } else if (now > drainUntil) {
            break;
        }
        const int n = ::epoll_wait(epoll, events.data(), static_cast<int>(events.size()), 5);
        for (int k = 0; k < n; ++k) {
            const std::size_t index = events[static_cast<std::size_t>(k)].data.u64;
            Client& c = clients[index];
            if (events[static_cast<std::size_t>(k)].events & EPOLLOUT) {
                if (::send(c.fd, request.data(), request.size(), MSG_NOSIGNAL) > 0) {
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
            while (i < size && !c.streaming) {
                c.head += static_cast<char>(buffer[i++]);
                if (c.head.size() >= 4 && c.head.compare(c.head.size() - 4, 4, "\r\n\r\n") == 0) {
                    c.streaming = true;
                    ++accepted;
                }
            }
            c.bytes += static_cast<std::int64_t>(size - i);
            if (config.opus) {
                readPages(c, &buffer[i], size - i, at, index % kProbeEvery == 0 ? &receipts : nullptr);
                continue;
            }
            if (config.mp3) {
                readMp3Frames(c, &buffer[i], size - i, at);
                continue;
            }
            while (i < size) {
                if (!c.synced) {
                    c.window = (c.window << 8) | buffer[i++];
                    if (c.window == marker) {
                        c.synced = true;
                        std::memcpy(c.stamp, kMarker, sizeof kMarker);
                        c.offset = sizeof kMarker;
                    }
                    continue;
                }
                const std::size_t take = std::min(size - i, chunkBytes - c.offset);
                if (c.offset < kStampBytes)
                    std::memcpy(c.stamp + c.offset, &buffer[i], std::min(take, kStampBytes - c.offset));
                c.offset += take;
                i += take;
                if (c.offset >= kStampBytes && std::memcmp(c.stamp, kMarker, sizeof kMarker) != 0) {
                    // Out of step with the chunks (a relay that dropped bytes): look for the next marker.
                    c.synced = false;
                    c.window = 0;
                    c.offset = 0;
                    continue;
                }
                if (c.offset == chunkBytes) {
                    std::int64_t sentAt, seq;
                    std::memcpy(&sentAt, c.stamp + 8, 8);
                    std::memcpy(&seq, c.stamp + 16, 8);
                    if (c.firstSeq < 0) c.firstSeq = seq;
                    ++c.received;
                    if (index % kProbeEvery == 0) lags.push_back(at - sentAt);
                    c.offset = 0;
                }
            }
        }
    }

    ChildReport report;
    report.accepted = accepted;
    if (config.opus) {
        // The parent sends every chunk's send time after the last sequence number.
        std::vector<std::int64_t> sentAt(static_cast<std::size_t>(std::max<std::int64_t>(lastSeq + 1, 0)));
        if (!sentAt.empty() && !readAll(fromParent, sentAt.data(), sentAt.size() * sizeof(std::int64_t)))
            sentAt.clear();
        // The last page every listener should have: the one of the last whole frame fed (audio
        // pages are numbered from 2, the first holding samples up to 960).
        const std::int64_t frames = static_cast<std::int64_t>(chunkBytes / 2);
        const std::int64_t lastPage = (lastSeq + 1) * frames / kOpusFrame + 1;
        std::int64_t bytes = 0, lost = 0;
        for (const Client& c : clients) {
            report.received += c.received;
            bytes += c.bytes;
            if (c.lostFraming) ++lost;
            if (c.firstSeq >= 0 && lastPage >= c.firstSeq)
                report.missed += std::max<std::int64_t>(0, (lastPage - c.firstSeq + 1) - c.received);
        }
        if (lost > 0) std::fprintf(stderr, "%" PRId64 " listeners received bytes that are not Ogg pages\n", lost);
        // A page is completed by the chunk holding its last sample, granule - 1.
        for (const PageReceipt& r : receipts) {
            const auto chunk = static_cast<std::size_t>((r.granule - 1) / frames);
            if (r.granule > 0 && chunk < sentAt.size()) lags.push_back(r.at - sentAt[chunk]);
        }
        const double seconds = static_cast<double>(report.received) * static_cast<double>(kOpusFrame) / kRate;
        report.bytesPerListenerSecond = seconds > 0 ? static_cast<double>(bytes) / seconds : 0;
        report.lostFraming = lost;
    } else if (config.mp3) {
        std::int64_t bytes = 0, periods = 0;
        double span = 0;
        for (std::size_t k = 0; k < clients.size(); ++k) {
            const Client& c = clients[k];
            report.received += c.received;
            bytes += c.bytes;
            report.lostFraming += c.lostFraming ? 1 : 0;
            // From the first frame's arrival to the last one's, received - 1 frame periods, on the
            // listeners that read at once (the others see frames in batches).
            if (k % kProbeEvery == 0 && c.received > 1) {
                span += static_cast<double>(c.lastAt - c.firstAt) / 1e9;
                periods += c.received - 1;
            }
        }
        if (report.lostFraming > 0)
            std::fprintf(stderr, "%" PRId64 " listeners received bytes that are not MP3 frames\n", report.lostFraming);
        const double seconds = static_cast<double>(report.received) * lumeno::server::kMp3FrameSamples / kRate;
        report.bytesPerListenerSecond = seconds > 0 ? static_cast<double>(bytes) / seconds : 0;
        report.framesPerListenerSecond = span > 0 ? static_cast<double>(periods) / span : 0;
    } else {
        for (const Client& c : clients) {
            report.received += c.received;
            if (c.firstSeq >= 0 && lastSeq >= c.firstSeq) report.missed += (lastSeq - c.firstSeq + 1) - c.received;
        }
    }
    std::sort(lags.begin(), lags.end());
    auto percentile = [&](double p) {
        if (lags.empty()) return 0.0;
        return static_cast<double>(lags[static_cast<std::size_t>(p * static_cast<double>(lags.size() - 1))]) / 1e6;
    };
    report.lagP50Ms = percentile(0.50);
    report.lagP99Ms = percentile(0.99);
    writePipe(toParent, &report, sizeof report);
    return 0;
}

// User plus system time of every thread of a process, as the kernel counts it.
double processCpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');  // the command name may hold spaces
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int index = 3; fields >> field && index <= 15; ++index)
        if (index == 14 || index == 15) ticks += std::stod(field);
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double peakRssMb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    return 0;
}

// A listener process connected to `port`, reporting on a pair of pipes.
struct ListenerProcess {
    pid_t pid = -1;
    int toChild = -1, fromChild = -1;

    static ListenerProcess spawn(const Config& config, std::size_t chunkBytes, const std::string& path) {
        int down[2], up[2];
        if (::pipe(down) != 0 || ::pipe(up) != 0) return {};
        const pid_t child = ::fork();
        if (child == 0) {
            ::close(down[1]);
            ::close(up[0]);
            _exit(runListeners(config, chunkBytes, path, down[0], up[1]));
        }
        ::close(down[0]);
        ::close(up[1]);
        return {child, down[1], up[0]};
    }

    ~ListenerProcess() {
        if (toChild >= 0) ::close(toChild);
        if (fromChild >= 0) ::close(fromChild);
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
};

// Feeds chunks in real time until every listener has the stream (or 30 s), then for the
// measured window, reading the server's CPU over that window only. `allIn` runs between the two.
Result feedAndMeasure(const Config& config, std::size_t frames, ListenerProcess& listeners, pid_t serverPid,
                      const std::function<bool(lumeno::core::SharedBytes)>& send,
                      const std::function<void()>& allIn = [] {}) {
    Result result;
    result.frames = frames;
    const std::size_t chunkBytes = frames * 2;
    const auto period = std::chrono::nanoseconds(static_cast<std::int64_t>(1e9 * static_cast<double>(frames) / kRate));
    std::int64_t seq = 0;
    std::vector<std::int64_t> sentAt;
    bool sendFailed = false;
    // A compressed stream's cost and output depend on the signal, which silence would flatter, so
    // the chunks carry noise peaking at -20 dBFS.
    std::vector<std::uint8_t> signal(chunkBytes, 0);
    if (config.encoded()) {
        std::uint32_t state = 1;
        for (std::size_t i = 0; i + 1 < chunkBytes; i += 2) {
            state = state * 1664525u + 1013904223u;
            const auto sample = static_cast<std::int16_t>(static_cast<std::int32_t>(state >> 16) / 10 - 3277);
            signal[i] = static_cast<std::uint8_t>(sample);
            signal[i + 1] = static_cast<std::uint8_t>(static_cast<std::uint16_t>(sample) >> 8);
        }
    }
    auto next = std::chrono::steady_clock::now();
    auto feedOne = [&] {
        auto chunk = std::make_shared<std::vector<std::uint8_t>>(signal);
        const std::int64_t at = nowNs();
        std::memcpy(chunk->data(), kMarker, sizeof kMarker);
        std::memcpy(chunk->data() + 8, &at, 8);
        std::memcpy(chunk->data() + 16, &seq, 8);
        sentAt.push_back(at);
        ++seq;
        if (!send(std::move(chunk))) sendFailed = true;
        next += period;
        std::this_thread::sleep_until(next);
    };

    const auto connectDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    bool everyoneIn = false;
    while (!everyoneIn && !sendFailed && std::chrono::steady_clock::now() < connectDeadline) {
        feedOne();
        pollfd p{listeners.fromChild, POLLIN, 0};
        if (::poll(&p, 1, 0) > 0) {
            char ready;
            everyoneIn = readAll(listeners.fromChild, &ready, 1);
        }
    }
    if (!everyoneIn) std::fprintf(stderr, "not every listener received the stream head within 30 s\n");
    allIn();

    const std::int64_t firstMeasured = seq;
    const double cpuStart = processCpuSeconds(serverPid);
    const auto wallStart = std::chrono::steady_clock::now();
    const auto end = wallStart + std::chrono::seconds(config.seconds);
    while (!sendFailed && std::chrono::steady_clock::now() < end) feedOne();
    const double cpu = processCpuSeconds(serverPid) - cpuStart;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    if (sendFailed) std::fprintf(stderr, "the server stopped taking chunks\n");

    const std::int64_t lastSeq = seq - 1;
    writePipe(listeners.toChild, &lastSeq, sizeof lastSeq);
    if (config.opus) writePipe(listeners.toChild, sentAt.data(), sentAt.size() * sizeof(std::int64_t));
    result.ran = readAll(listeners.fromChild, &result.report, sizeof result.report);
    ::waitpid(listeners.pid, nullptr, 0);
    listeners.pid = -1;
    if (!result.ran) std::fprintf(stderr, "listener process failed\n");
    result.sent = seq;
    result.measured = seq - firstMeasured;
    result.cpuPct = 100.0 * cpu / wall;
    result.rssMb = peakRssMb(serverPid);
    return result;
}

// Opens a listener of the parent's own and reads its response head; -1 unless the server answers
// with the content type asked for.
int openProbe(std::uint16_t port, const std::string& path, const std::string& contentType) {
    const int fd = connectOne(port, true);
    if (fd < 0) return -1;
    timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    const std::string request = "GET " + path + " HTTP/1.0\r\nHost: bench\r\n\r\n";
    std::string head;
    char c;
    if (sendAll(fd, request.data(), request.size()))
        while (head.size() < 4096 && head.find("\r\n\r\n") == std::string::npos && ::recv(fd, &c, 1, 0) == 1) head += c;
    if (head.find(contentType) == std::string::npos) {
        ::close(fd);
        return -1;
    }
    return fd;
}

Result runLumeno(const Config& config, std::size_t frames) {
    using namespace lumeno;
    // Forked before the server's threads exist.
    const char* path = config.opus ? "/audio?codec=opus" : config.mp3 ? "/audio.mp3" : "/audio";
    ListenerProcess listeners = ListenerProcess::spawn(config, frames * 2, path);
    if (listeners.pid <= 0) return {};
    // The peak memory figure is this run's, not an earlier run's in the same process.
    std::ofstream("/proc/self/clear_refs") << "5";

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
    // Compressed streams: the encoder starts with this connection, before chunk 0, so Opus
    // granule positions count from the first chunk fed. It is read until every listener is in so
    // that it is never cut off for falling behind, which, were it the only listener of its stream
    // yet, would restart the stream.
    int probe = -1;
    if (config.encoded() && (probe = openProbe(port, path, config.opus ? "audio/ogg" : "audio/mpeg")) < 0) {
        std::fprintf(stderr, "the server did not answer with the %s stream\n", config.opus ? "Ogg Opus" : "MP3");
        server->stop();
        return {};
    }
    writePipe(listeners.toChild, &port, sizeof port);
    Result result = feedAndMeasure(
        config, frames, listeners, ::getpid(),
        [&](core::SharedBytes chunk) {
            char sink[4096];
            if (probe >= 0)
                while (::recv(probe, sink, sizeof sink, MSG_DONTWAIT) > 0) {
                }
            server->sendAudioData(std::move(chunk));
            return true;
        },
        [&] {
            if (probe >= 0) ::close(probe);
            probe = -1;
        });
    if (probe >= 0) ::close(probe);
    server->stop();
    result.server = "lumeno";
    return result;
}

// A private Icecast in a temporary folder, stopped and removed when this goes out of scope.
class Icecast {
public:
    static constexpr const char* kMount = "/lumeno";
    static constexpr const char* kPassword = "fanout-bench";

    bool start(int listeners) {
        char folder[] = "/tmp/lumeno-icecast-XXXXXX";
        if (!::mkdtemp(folder)) return fail("cannot make a temporary folder");
        folder_ = folder;
        port_ = bench::freeLoopbackPort();
        if (port_ == 0) return fail("no free loopback port");
        // Icecast refuses to run as root unless it drops to another user, who must be able to
        // write its log folder.
        const bool root = ::geteuid() == 0;
        if (root) ::chmod(folder_.c_str(), 0777);
        const std::string config = folder_ + "/icecast.xml";
        std::ofstream(config)
            << "<icecast>\n"
               "  <limits><clients>"
            << listeners + 16
            << "</clients><sources>2</sources><queue-size>524288</queue-size>"
               "<client-timeout>30</client-timeout><header-timeout>15</header-timeout>"
               "<source-timeout>10</source-timeout><burst-on-connect>0</burst-on-connect>"
               "<burst-size>0</burst-size></limits>\n"
               "  <authentication><source-password>"
            << kPassword
            << "</source-password><admin-user>admin</admin-user><admin-password>"
            << kPassword
            << "</admin-password></authentication>\n"
               "  <hostname>127.0.0.1</hostname>\n"
               "  <listen-socket><port>"
            << port_
            << "</port><bind-address>127.0.0.1</bind-address></listen-socket>\n"
               "  <fileserve>0</fileserve>\n"
               "  <paths><basedir>"
            << folder_ << "</basedir><logdir>" << folder_
            << "</logdir><webroot>/usr/share/icecast2/web</webroot>"
               "<adminroot>/usr/share/icecast2/admin</adminroot></paths>\n"
               "  <logging><accesslog>access.log</accesslog><errorlog>error.log</errorlog>"
               "<loglevel>2</loglevel></logging>\n"
            << (root ? "  <security><chroot>0</chroot><changeowner><user>nobody</user><group>nogroup</group>"
                       "</changeowner></security>\n"
                     : "")
            << "</icecast>\n";
        pid_ = ::fork();
        if (pid_ == 0) {
            const int out = ::open((folder_ + "/stdout.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (out >= 0) {
                ::dup2(out, 1);
                ::dup2(out, 2);
            }
            ::execlp("icecast2", "icecast2", "-c", config.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        if (pid_ < 0) return fail("cannot start icecast2");
        // Bounded wait for it to listen.
        for (int attempt = 0; attempt < 100; ++attempt) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return fail("icecast2 exited at start (is it installed?); see its output in " + folder_);
            }
            const int probe = connectOne(port_, true);
            if (probe >= 0) {
                ::close(probe);
                return connectSource();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return fail("icecast2 did not listen within 5 s");
    }

    bool send(const lumeno::core::SharedBytes& chunk) { return sendAll(source_, chunk->data(), chunk->size()); }

    std::uint16_t port() const { return port_; }
    pid_t pid() const { return pid_; }
    const std::string& error() const { return error_; }

    ~Icecast() {
        if (source_ >= 0) ::close(source_);
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            bool gone = false;
            for (int attempt = 0; attempt < 60 && !gone; ++attempt) {
                gone = ::waitpid(pid_, &status, WNOHANG) == pid_;
                if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            if (!gone) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, &status, 0);
            }
        }
        if (!folder_.empty() && keepFolder_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(folder_, ignored);
        }
    }

private:
    // The same raw PCM as Lumeno's, declared as audio/L16, which Icecast relays byte for byte.
    bool connectSource() {
        source_ = connectOne(port_, true);
        if (source_ < 0) return fail("cannot connect the source");
        timeval limit{2, 0};
        ::setsockopt(source_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ::setsockopt(source_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        const int one = 1;
        ::setsockopt(source_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        const std::string request = std::string("SOURCE ") + kMount +
                                    " HTTP/1.0\r\nAuthorization: Basic " + lumeno::core::base64Encode(std::string("source:") + kPassword) +
                                    "\r\nContent-Type: audio/L16;rate=48000;channels=1\r\nIce-Public: 0\r\n\r\n";
        if (!sendAll(source_, request.data(), request.size())) return fail("cannot send the source request");
        std::string answer;
        char c;
        while (answer.size() < 1024 && answer.find("\r\n\r\n") == std::string::npos && ::recv(source_, &c, 1, 0) == 1)
            answer += c;
        if (answer.rfind("HTTP/1.0 200", 0) != 0 && answer.rfind("HTTP/1.1 200", 0) != 0)
            return fail("icecast2 refused the source: " + answer.substr(0, answer.find('\r')));
        return true;
    }

    bool fail(const std::string& why) {
        error_ = why;
        keepFolder_ = folder_;
        return false;
    }

    std::string folder_, keepFolder_, error_;
    std::uint16_t port_ = 0;
    pid_t pid_ = -1;
    int source_ = -1;
};

Result runIcecast(const Config& config, std::size_t frames) {
    Icecast icecast;
    if (!icecast.start(config.listeners)) {
        std::fprintf(stderr, "icecast baseline: %s\n", icecast.error().c_str());
        return {};
    }
    ListenerProcess listeners = ListenerProcess::spawn(config, frames * 2, Icecast::kMount);
    if (listeners.pid <= 0) return {};
    const std::uint16_t port = icecast.port();
    writePipe(listeners.toChild, &port, sizeof port);
    Result result = feedAndMeasure(config, frames, listeners, icecast.pid(),
                                   [&](const lumeno::core::SharedBytes& chunk) { return icecast.send(chunk); });
    result.server = "icecast";
    return result;
}

void print(const Config& config, const Result& r) {
    std::printf("accepted=%d/%d measured_chunks=%" PRId64 "\n", r.report.accepted, config.listeners, r.measured);
    if (config.mp3) {
        // MP3 frames carry no sequence number or time: their own rate stands for what was missed.
        std::printf("fanout server=%s frames=%zu listeners=%d seconds=%d chunks_sent=%" PRId64
                    " mp3_frames_per_listener_s=%.2f server_cpu_pct=%.2f rss_mb=%.1f",
                    r.server.c_str(), r.frames, config.listeners, config.seconds, r.sent,
                    r.report.framesPerListenerSecond, r.cpuPct, r.rssMb);
    } else {
        std::printf("fanout server=%s frames=%zu listeners=%d seconds=%d chunks_sent=%" PRId64 " %s_missed=%" PRId64
                    " server_cpu_pct=%.2f lag_p50_ms=%.2f lag_p99_ms=%.2f rss_mb=%.1f",
                    r.server.c_str(), r.frames, config.listeners, config.seconds, r.sent,
                    config.opus ? "pages" : "chunks", r.report.missed, r.cpuPct, r.report.lagP50Ms,
                    r.report.lagP99Ms, r.rssMb);
    }
    if (config.encoded()) std::printf(" bytes_per_listener_s=%.0f", r.report.bytesPerListenerSecond);
    std::printf("\n");
    std::fflush(stdout);
}

std::optional<std::vector<std::size_t>> parseFrames(const std::string& list) {
    std::vector<std::size_t> frames;
    std::stringstream in(list);
    std::string item;
    while (std::getline(in, item, ',')) {
        const long value = std::atol(item.c_str());
        if (value < static_cast<long>(kMinFrames) || value > 48000) return std::nullopt;
        frames.push_back(static_cast<std::size_t>(value));
    }
    if (frames.empty()) return std::nullopt;
    return frames;
}

}  // namespace

int main(int argc, char** argv) {
    Config config;
    bool usage = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--listeners" && i + 1 < argc) config.listeners = std::atoi(argv[++i]);
        else if (arg == "--seconds" && i + 1 < argc) config.seconds = std::atoi(argv[++i]);
        else if (arg == "--burst") config.burst = true;
        else if (arg == "--frames" && i + 1 < argc) {
            const auto frames = parseFrames(argv[++i]);
            if (frames) config.frames = *frames;
            else usage = true;
        } else if (arg == "--baseline" && i + 1 < argc && std::string(argv[i + 1]) == "icecast") {
            config.icecast = true;
            ++i;
        } else if (arg == "--codec" && i + 1 < argc &&
                   (std::string(argv[i + 1]) == "opus" || std::string(argv[i + 1]) == "mp3" ||
                    std::string(argv[i + 1]) == "pcm")) {
            const std::string codec = argv[++i];
            config.opus = codec == "opus";
            config.mp3 = codec == "mp3";
        } else usage = true;
    }
    if (usage || config.listeners < 1 || config.seconds < 1 || (config.encoded() && config.icecast)) {
        std::fprintf(stderr,
                     "usage: bench_fanout [--listeners N] [--seconds S] [--burst] [--frames N[,N...]] "
                     "[--baseline icecast | --codec opus|mp3]\n  (frames: %zu to 48000 each; the Icecast baseline "
                     "relays raw PCM only, so it does not combine with --codec)\n",
                     kMinFrames);
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    raiseFileLimit();

    // With a baseline, each block size runs through Lumeno and then Icecast, fed the same
    // chunks, so the pair shares the machine's conditions as closely as two runs can.
    bool ok = true;
    for (const std::size_t frames : config.frames) {
        const Result ours = runLumeno(config, frames);
        if (!ours.ran) return 1;
        print(config, ours);
        ok = ok && ours.report.accepted == config.listeners && ours.report.missed == 0 && ours.report.lostFraming == 0;
        if (!config.icecast) continue;
        const Result theirs = runIcecast(config, frames);
        if (!theirs.ran) return 1;
        print(config, theirs);
        ok = ok && theirs.report.accepted == config.listeners;
        std::printf("fanout cpu_vs_icecast frames=%zu lumeno_cpu_pct=%.2f icecast_cpu_pct=%.2f ratio=%.3f\n", frames,
                    ours.cpuPct, theirs.cpuPct, theirs.cpuPct > 0 ? ours.cpuPct / theirs.cpuPct : 0.0);
        std::fflush(stdout);
    }
    return ok ? 0 : 1;
}
