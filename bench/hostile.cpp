// What a hostile network or a careless operator does to the real lumeno binary, measured from
// outside the process.
//
//   scripts/bench hostile frozen [--listeners N] [--codec opus|raw] [--bitrate KBITS]
//                                [--receive-buffer BYTES] [--read-seconds S] [--watch-seconds S]
//   scripts/bench hostile truncate [--cut-to BYTES] [--restore-after S]
//
// frozen: N listeners, each with a small receive buffer, read the stream for a while and then
// never read or close again, like phones whose tab froze. Reports how many the server cut and
// when, counted from the freeze. A cut is seen without reading, from the socket's TCP state.
//
// truncate: the input WAV is cut short while it plays and copied back in place a few seconds
// later. Reports what a connected raw listener received during the outage (a looped fragment
// would show here), when /status said waiting and streaming again, and whether the audio that
// came back starts at the file's first frame.
#include "bench_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

int connectTo(std::uint16_t port, int receiveBuffer) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // Before connecting, so the window the peer learns is the small one.
    if (receiveBuffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool sendText(int fd, const std::string& text) {
    return ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

// Reads a response head (up to its blank line) with a deadline; what follows stays unread.
std::string readHead(int fd, std::chrono::milliseconds timeout = 5000ms) {
    std::string head;
    const auto end = Clock::now() + timeout;
    while (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0) {
        pollfd p{fd, POLLIN, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) return {};
        char c;
        if (::recv(fd, &c, 1, 0) != 1) return {};
        head += c;
    }
    return head;
}

std::string fetchStatus(std::uint16_t port) {
    const int fd = connectTo(port, 0);
    if (fd < 0) return {};
    sendText(fd, "GET /status HTTP/1.1\r\nHost: bench\r\n\r\n");
    std::string all;
    char buffer[512];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) all.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    if (all.find("\"streaming\"") != std::string::npos) return "streaming";
    if (all.find("\"waiting\"") != std::string::npos) return "waiting";
    return {};
}

// A TCP connection the peer has ended (FIN or reset) is no longer established; asking costs no read.
bool closedByPeer(int fd) {
    tcp_info info{};
    socklen_t length = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return true;
    return info.tcpi_state != TCP_ESTABLISHED;
}

// The real binary, its output kept in a file of the temporary folder.
class Lumeno {
public:
    Lumeno(const fs::path& folder, std::uint16_t port, std::vector<std::string> extra) : log_(folder / "lumeno.log") {
        std::vector<std::string> args = {LUMENO_BINARY, "--headless",   "--port", std::to_string(port),
                                         "--bind",      "127.0.0.1",    "--config-dir", (folder / "config").string(),
                                         "--transcript-dir", (folder / "transcripts").string()};
        args.insert(args.end(), extra.begin(), extra.end());
        pid_ = ::fork();
        if (pid_ == 0) {
            const int out = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(out, 1);
            ::dup2(out, 2);
            ::setenv("PULSE_SERVER", "unix:/nonexistent/lumeno-bench", 1);
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
    }
    ~Lumeno() { bench::stopChild(pid_, 5s); }
    std::vector<std::string> lines() const {
        std::ifstream in(log_);
        std::vector<std::string> out;
        for (std::string line; std::getline(in, line);) out.push_back(line);
        return out;
    }
    long count(const std::string& prefix) const {
        const auto all = lines();
        return std::count_if(all.begin(), all.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
    }

private:
    fs::path log_;
    pid_t pid_ = -1;
};

bool waitForStatus(std::uint16_t port, const std::string& wanted, std::chrono::milliseconds timeout) {
    const auto end = Clock::now() + timeout;
    while (Clock::now() < end) {
        if (fetchStatus(port) == wanted) return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

struct TempFolder {
    TempFolder() {
        char name[] = "/tmp/lumeno-hostile-XXXXXX";
        path = ::mkdtemp(name);
    }
    ~TempFolder() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    fs::path path;
};

int frozen(int argc, char** argv) {
    int listeners = 200, receiveBuffer = 8192, bitrate = 32;
    double readSeconds = 3, watchSeconds = 60;
    std::string codec = "opus";
    for (int i = 0; i + 1 < argc; i += 2) {
        const std::string flag = argv[i], value = argv[i + 1];
        if (flag == "--listeners") listeners = std::stoi(value);
        else if (flag == "--codec") codec = value;
        else if (flag == "--bitrate") bitrate = std::stoi(value);
        else if (flag == "--receive-buffer") receiveBuffer = std::stoi(value);
        else if (flag == "--read-seconds") readSeconds = std::stod(value);
        else if (flag == "--watch-seconds") watchSeconds = std::stod(value);
        else {
            std::fprintf(stderr, "unknown option %s\n", flag.c_str());
            return 2;
        }
    }
    TempFolder folder;
    const std::uint16_t port = bench::freeLoopbackPort();
    Lumeno app(folder.path, port, {"--demo", "--set", "opusBitrate=" + std::to_string(bitrate)});
    if (!waitForStatus(port, "streaming", 15s)) {
        std::fprintf(stderr, "lumeno did not start streaming\n");
        return 1;
    }
    const std::string request =
        std::string("GET /audio") + (codec == "opus" ? "?codec=opus" : "") + " HTTP/1.1\r\nHost: bench\r\n\r\n";
    std::vector<int> fds;
    for (int i = 0; i < listeners; ++i) {
        const int fd = connectTo(port, receiveBuffer);
        if (fd < 0 || !sendText(fd, request) || readHead(fd).empty()) {
            std::fprintf(stderr, "listener %d was not served\n", i);
            return 1;
        }
        ::fcntl(fd, F_SETFL, O_NONBLOCK);
        fds.push_back(fd);
    }
    // Everyone reads for a while, then all freeze at one moment.
    const auto readUntil = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(readSeconds));
    std::vector<char> buffer(64 * 1024);
    long long readBytes = 0;
    while (Clock::now() < readUntil) {
        for (int fd : fds)
            for (ssize_t n; (n = ::recv(fd, buffer.data(), buffer.size(), 0)) > 0;) readBytes += n;
        std::this_thread::sleep_for(5ms);
    }
    const auto frozenAt = Clock::now();
    std::vector<double> cutAt(fds.size(), -1);
    std::size_t cut = 0;
    while (cut < fds.size() && secondsSince(frozenAt) < watchSeconds) {
        for (std::size_t i = 0; i < fds.size(); ++i)
            if (cutAt[i] < 0 && closedByPeer(fds[i])) {
                cutAt[i] = secondsSince(frozenAt);
                ++cut;
            }
        std::this_thread::sleep_for(20ms);
    }
    std::vector<double> times;
    for (double t : cutAt)
        if (t >= 0) times.push_back(t);
    std::sort(times.begin(), times.end());
    auto at = [&](double p) { return times.empty() ? 0.0 : times[static_cast<std::size_t>(p * (times.size() - 1))]; };
    std::printf("frozen %s listeners at %d kbit/s, receive buffer %d B, read %.1f s (%.0f kB each) then frozen:\n",
                codec.c_str(), bitrate, receiveBuffer, readSeconds, readBytes / 1000.0 / listeners);
    std::printf("  cut %zu of %d within %.0f s", cut, listeners, watchSeconds);
    if (!times.empty()) std::printf("; after the freeze: first %.2f s, median %.2f s, last %.2f s", times.front(), at(0.5), times.back());
    std::printf("\n  lumeno logged %ld \"Disconnecting audio listener\" lines\n", app.count("Disconnecting audio listener"));
    for (int fd : fds) ::close(fd);
    return cut == fds.size() ? 0 : 1;
}

// A mono 16-bit WAV of `frames` frames: a slow ramp, so any frame tells where in the file it is.
std::string rampWav(std::uint32_t rate, std::uint32_t frames) {
    auto le = [](std::string& out, std::uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) out += static_cast<char>(value >> (8 * i));
    };
    std::string wav = "RIFF";
    le(wav, 36 + frames * 2, 4);
    wav += "WAVEfmt ";
    le(wav, 16, 4);
    le(wav, 1, 2);
    le(wav, 1, 2);
    le(wav, rate, 4);
    le(wav, rate * 2, 4);
    le(wav, 2, 2);
    le(wav, 16, 2);
    wav += "data";
    le(wav, frames * 2, 4);
    for (std::uint32_t f = 0; f < frames; ++f) le(wav, static_cast<std::uint16_t>(static_cast<std::int16_t>(f % 60000 - 30000)), 2);
    return wav;
}

int truncate(int argc, char** argv) {
    std::uintmax_t cutTo = 1000;
    double restoreAfter = 4.5;  // between the first retry and the second
    for (int i = 0; i + 1 < argc; i += 2) {
        const std::string flag = argv[i], value = argv[i + 1];
        if (flag == "--cut-to") cutTo = std::stoull(value);
        else if (flag == "--restore-after") restoreAfter = std::stod(value);
        else {
            std::fprintf(stderr, "unknown option %s\n", flag.c_str());
            return 2;
        }
    }
    constexpr std::uint32_t kRate = 48000;
    TempFolder folder;
    const fs::path input = folder.path / "input.wav";
    const std::string original = rampWav(kRate, kRate * 5);
    std::ofstream(input, std::ios::binary) << original;
    const std::uint16_t port = bench::freeLoopbackPort();
    Lumeno app(folder.path, port, {"--input-file", input.string(), "--set", "isStreaming=true"});
    if (!waitForStatus(port, "streaming", 15s)) {
        std::fprintf(stderr, "lumeno did not start streaming\n");
        return 1;
    }
    const int listener = connectTo(port, 0);
    sendText(listener, "GET /audio HTTP/1.1\r\nHost: bench\r\n\r\n");
    if (readHead(listener).empty()) {
        std::fprintf(stderr, "no audio stream\n");
        return 1;
    }
    ::fcntl(listener, F_SETFL, O_NONBLOCK);
    // Samples with their arrival time, read on a thread of their own.
    struct Sample {
        double at;
        std::int16_t value;
    };
    std::vector<Sample> samples;
    std::atomic<bool> reading{true};
    const auto origin = Clock::now();
    std::thread reader([&] {
        std::string carry;
        char buffer[16384];
        while (reading) {
            const ssize_t n = ::recv(listener, buffer, sizeof buffer, 0);
            if (n <= 0) {
                std::this_thread::sleep_for(2ms);
                continue;
            }
            const double at = secondsSince(origin);
            carry.append(buffer, static_cast<std::size_t>(n));
            std::size_t i = 0;
            for (; i + 1 < carry.size(); i += 2)
                samples.push_back({at, static_cast<std::int16_t>(static_cast<std::uint8_t>(carry[i]) |
                                                                 static_cast<std::uint8_t>(carry[i + 1]) << 8)});
            carry.erase(0, i);
        }
    });
    std::this_thread::sleep_for(1s);
    const double cutAt = secondsSince(origin);
    fs::resize_file(input, cutTo);
    std::optional<double> waitingAt;
    const auto restoreDue = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(restoreAfter));
    while (Clock::now() < restoreDue) {
        if (!waitingAt && fetchStatus(port) == "waiting") waitingAt = secondsSince(origin);
        std::this_thread::sleep_for(50ms);
    }
    const double restoredAt = secondsSince(origin);
    // As cp does: the same file, emptied and written again.
    std::ofstream(input, std::ios::binary | std::ios::trunc) << original;
    std::optional<double> backAt;
    while (!backAt && secondsSince(origin) < restoredAt + 20) {
        if (fetchStatus(port) == "streaming") backAt = secondsSince(origin);
        std::this_thread::sleep_for(50ms);
    }
    std::this_thread::sleep_for(1s);
    reading = false;
    reader.join();
    ::close(listener);

    // The file as captured: frame f holds f % 60000 - 30000, scaled by 32767/32768 on the way.
    auto frameOf = [](std::int16_t v) { return static_cast<long>(std::lround((v + 30000.0 * 32767 / 32768) * 32768 / 32767)); };
    std::size_t during = 0, run = 0, longestRun = 0;
    std::optional<long> firstBack, previous;
    for (const Sample& s : samples) {
        if (s.at > cutAt + 0.1 && s.at < restoredAt) ++during;
        if (!backAt || s.at < restoredAt) continue;
        const long frame = frameOf(s.value);
        if (!firstBack) firstBack = frame;
        // A looped fragment shows as short runs of consecutive frames.
        run = previous && std::abs(frame - *previous - 1) <= 1 ? run + 1 : 1;
        longestRun = std::max(longestRun, run);
        previous = frame;
    }
    std::printf("input cut to %ju bytes at %.2f s, copied back at %.2f s (the retry period is 3 s):\n", cutTo, cutAt,
                restoredAt);
    std::printf("  /status waiting %s", waitingAt ? "" : "never");
    if (waitingAt) std::printf("%.2f s after the cut", *waitingAt - cutAt);
    std::printf("; streaming again %s", backAt ? "" : "never (within 20 s)");
    if (backAt) std::printf("%.2f s after the restore", *backAt - restoredAt);
    std::printf("\n  samples received between the cut and the restore: %zu\n", during);
    if (firstBack)
        std::printf("  first frame heard after the restore: frame %ld of the file; longest run of consecutive "
                    "frames after it: %zu (%.2f s)\n",
                    *firstBack, longestRun, static_cast<double>(longestRun) / kRate);
    std::printf("  lumeno logged %ld \"Audio capture lost\" lines\n", app.count("❌ Audio capture lost"));
    return backAt && during == 0 && firstBack && *firstBack == 0 && longestRun > kRate / 4 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    ::signal(SIGPIPE, SIG_IGN);
    const std::string what = argc > 1 ? argv[1] : "";
    if (what == "frozen") return frozen(argc - 2, argv + 2);
    if (what == "truncate") return truncate(argc - 2, argv + 2);
    std::fprintf(stderr, "usage: scripts/bench hostile frozen|truncate [options]\n");
    return 2;
}
