// Log-rate benchmark: the real lumeno binary, headless on its demo recording with captions on,
// and a room of listeners on loopback. Each listener holds the audio stream (raw and Opus
// alternately) and the caption stream, as a playing page does; each poller only polls /status
// every 2 s and holds the caption stream, as a page that is not playing does. Once every
// listener is in, it counts what lumeno writes to standard output:
//
//   scripts/bench lograte [--listeners N] [--pollers P] [--seconds S] [--binary PATH] [-- LUMENO OPTIONS]
//
// and prints lines per second (over the window and in its busiest second), megabytes per hour
// and the commonest lines with their numbers masked, so what is left to quieten shows. Options
// after "--" go to lumeno (--verbose, for one).
#include "bench_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Config {
    int listeners = 150;
    int pollers = 50;
    int seconds = 600;
    std::string binary = LUMENO_BINARY;
    std::vector<std::string> extra;
};

// Every line lumeno wrote, with when it arrived.
struct Line {
    Clock::time_point at;
    std::string text;
};

class Lumeno {
public:
    bool start(const Config& config, const std::string& folder) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) return false;
        std::vector<std::string> args = {config.binary,   "--headless",  "--demo", "--port", "0", "--bind", "127.0.0.1",
                                         "--config-dir",  folder + "/config", "--transcript-dir", folder + "/transcripts",
                                         "--set",         "speechRecognitionEnabled=true"};
        args.insert(args.end(), config.extra.begin(), config.extra.end());
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], 1);
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 2);
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            _exit(127);
        }
        ::close(out[1]);
        if (pid_ < 0) return false;
        reader_ = std::thread([this, fd = out[0]] { read(fd); });
        return true;
    }

    // The port from "Server ready on port N", or 0 when it does not come within 30 s.
    std::uint16_t waitForPort() {
        const auto deadline = Clock::now() + 30s;
        while (Clock::now() < deadline) {
            {
                std::lock_guard lock(mutex_);
                for (const auto& line : lines_)
                    if (line.text.rfind("Server ready on port ", 0) == 0)
                        return static_cast<std::uint16_t>(std::stoi(line.text.substr(21)));
            }
            std::this_thread::sleep_for(50ms);
        }
        return 0;
    }

    std::vector<Line> lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }

    void stop() {
        bench::stopChild(pid_, 10s);
        pid_ = -1;
        if (reader_.joinable()) reader_.join();
    }

    ~Lumeno() { stop(); }

private:
    void read(int fd) {
        std::string partial;
        char buffer[65536];
        for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
            const auto at = Clock::now();
            partial.append(buffer, static_cast<std::size_t>(n));
            std::size_t start = 0;
            for (std::size_t end; (end = partial.find('\n', start)) != std::string::npos; start = end + 1) {
                std::lock_guard lock(mutex_);
                lines_.push_back({at, partial.substr(start, end - start)});
            }
            partial.erase(0, start);
        }
        ::close(fd);
    }

    pid_t pid_ = -1;
    std::thread reader_;
    std::mutex mutex_;
    std::vector<Line> lines_;
};

int connectTo(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);  // completes in epoll
    return fd;
}

// The room: long-lived streams read as they come, status polls made on their schedule.
class Room {
public:
    Room(std::uint16_t port, const Config& config) : port_(port), epoll_(::epoll_create1(EPOLL_CLOEXEC)) {
        for (int i = 0; i < config.listeners; ++i) {
            open(i % 2 == 0 ? "/audio" : "/audio?codec=opus");
            open("/transcription");
        }
        for (int i = 0; i < config.pollers; ++i) {
            open("/transcription");
            // Staggered over the period, as pages opened at different moments poll.
            nextPoll_.push_back(Clock::now() + std::chrono::milliseconds(2000 * i / std::max(1, config.pollers)));
        }
    }
    ~Room() {
        for (const auto& [fd, request] : sockets_) ::close(fd);
        ::close(epoll_);
    }

    // Serves the room until `until`.
    void run(Clock::time_point until) {
        std::vector<epoll_event> events(512);
        std::vector<char> buffer(256 * 1024);
        while (Clock::now() < until) {
            const auto now = Clock::now();
            for (auto& next : nextPoll_) {
                if (now < next) continue;
                open("/status");
                next += 2s;
            }
            const int n = ::epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), 10);
            for (int k = 0; k < n; ++k) {
                const int fd = events[static_cast<std::size_t>(k)].data.fd;
                if (events[static_cast<std::size_t>(k)].events & EPOLLOUT) {
                    const std::string& path = sockets_[fd];
                    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: room\r\n\r\n";
                    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
                    epoll_event ev{};
                    ev.events = EPOLLIN;
                    ev.data.fd = fd;
                    ::epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &ev);
                    continue;
                }
                const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
                if (got > 0) {
                    if (sockets_[fd] == "/transcription") {
                        const std::string_view text(buffer.data(), static_cast<std::size_t>(got));
                        for (std::size_t at = 0; (at = text.find("data: ", at)) != std::string_view::npos; ++at) ++captions_;
                    }
                    continue;
                }
                if (got < 0 && errno == EAGAIN) continue;
                if (sockets_[fd] != "/status") ++dropped_;  // a stream that ended: the server cut it
                ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
                ::close(fd);
                sockets_.erase(fd);
            }
        }
    }

    std::int64_t captions() const { return captions_; }
    std::int64_t dropped() const { return dropped_; }

private:
    void open(const std::string& path) {
        const int fd = connectTo(port_);
        sockets_[fd] = path;
        epoll_event ev{};
        ev.events = EPOLLOUT;
        ev.data.fd = fd;
        ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev);
    }

    std::uint16_t port_;
    int epoll_;
    std::map<int, std::string> sockets_;
    std::vector<Clock::time_point> nextPoll_;
    std::int64_t captions_ = 0;
    std::int64_t dropped_ = 0;
};

// A line with its numbers masked, so lines that differ only in counts group together.
std::string shape(const std::string& line) {
    std::string out;
    for (char c : line.substr(0, 70)) {
        if (c >= '0' && c <= '9') {
            if (out.empty() || out.back() != '#') out += '#';
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    Config config;
    bool usage = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--listeners" && i + 1 < argc) config.listeners = std::atoi(argv[++i]);
        else if (arg == "--pollers" && i + 1 < argc) config.pollers = std::atoi(argv[++i]);
        else if (arg == "--seconds" && i + 1 < argc) config.seconds = std::atoi(argv[++i]);
        else if (arg == "--binary" && i + 1 < argc) config.binary = argv[++i];
        else if (arg == "--") {
            config.extra.assign(argv + i + 1, argv + argc);
            break;
        } else usage = true;
    }
    if (usage || config.listeners < 0 || config.pollers < 0 || config.seconds < 1) {
        std::fprintf(stderr,
                     "usage: bench_lograte [--listeners N] [--pollers P] [--seconds S] [--binary PATH] [-- LUMENO OPTIONS]\n");
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);

    char pattern[] = "/tmp/lumeno-lograte-XXXXXX";
    const std::string folder = ::mkdtemp(pattern);
    int status = 1;
    {
        Lumeno lumeno;
        if (!lumeno.start(config, folder)) {
            std::fprintf(stderr, "cannot start %s\n", config.binary.c_str());
            return 1;
        }
        const std::uint16_t port = lumeno.waitForPort();
        if (port == 0) {
            std::fprintf(stderr, "lumeno did not report its port within 30 s\n");
        } else {
            Room room(port, config);
            // Everyone in and the recogniser going (it starts 1.5 s after launch) before counting.
            room.run(Clock::now() + 10s);
            const auto from = Clock::now();
            const auto to = from + std::chrono::seconds(config.seconds);
            room.run(to);

            std::int64_t count = 0, bytes = 0;
            std::map<std::int64_t, std::int64_t> perSecond;
            std::map<std::string, std::int64_t> shapes;
            for (const auto& line : lumeno.lines()) {
                if (line.at < from || line.at >= to) continue;
                ++count;
                bytes += static_cast<std::int64_t>(line.text.size()) + 1;
                ++perSecond[std::chrono::duration_cast<std::chrono::seconds>(line.at - from).count()];
                ++shapes[shape(line.text)];
            }
            std::int64_t busiest = 0;
            for (const auto& [second, lines] : perSecond) busiest = std::max(busiest, lines);
            const double seconds = config.seconds;
            std::printf("lograte listeners=%d (raw %d, opus %d) pollers=%d seconds=%d lines=%" PRId64
                        " lines_per_s=%.2f busiest_second=%" PRId64 " mb_per_hour=%.2f captions_per_listener=%.1f"
                        " streams_cut=%" PRId64 "\n",
                        config.listeners, (config.listeners + 1) / 2, config.listeners / 2, config.pollers,
                        config.seconds, count, static_cast<double>(count) / seconds, busiest,
                        static_cast<double>(bytes) / seconds * 3600.0 / 1e6,
                        static_cast<double>(room.captions()) / std::max(1, config.listeners + config.pollers),
                        room.dropped());
            std::vector<std::pair<std::int64_t, std::string>> top;
            for (const auto& [text, n] : shapes) top.emplace_back(n, text);
            std::sort(top.rbegin(), top.rend());
            for (std::size_t i = 0; i < std::min<std::size_t>(top.size(), 12); ++i)
                std::printf("  %8.2f/s  %s\n", static_cast<double>(top[i].first) / seconds, top[i].second.c_str());
            status = count > 0 ? 0 : 1;
        }
        lumeno.stop();
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return status;
}
