#include "support/pulse_daemon.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace lumeno::testing {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::unique_ptr<ChildProcess> spawnWith(const std::vector<std::string>& variables, const std::string& program,
                                        const std::vector<std::string>& args) {
    std::vector<std::string> all = variables;
    all.push_back(program);
    all.insert(all.end(), args.begin(), args.end());
    return std::make_unique<ChildProcess>("/usr/bin/env", all);
}

PulseDaemon::PulseDaemon(const TempDir& dir, const std::vector<Source>& sources, bool withSink) : dir_(dir) {
    std::vector<std::string> args = {"--daemonize=no", "--exit-idle-time=-1", "-n", "--use-pid-file=no",
                                     "--load=module-native-protocol-unix auth-anonymous=1 socket=" + socket()};
    for (const auto& s : sources) {
        args.push_back("--load=module-pipe-source source_name=" + s.name + " file=" + fifo(s.name) +
                       " format=s16le rate=" + std::to_string(s.rate) + " channels=" + std::to_string(s.channels) +
                       " source_properties=device.description=" + s.description);
    }
    if (withSink) args.push_back("--load=module-null-sink sink_name=speakers");
    process_ = spawnWith({"HOME=" + dir.path().string(), "XDG_RUNTIME_DIR=" + dir.path().string()}, "pulseaudio", args);
    ready_ = waitForSources(sources, 10s);
}

void PulseDaemon::stop() {
    process_->signal(SIGKILL);
    process_->wait(5s);
}

std::vector<std::string> PulseDaemon::pactl(const std::string& args) const {
    const std::string command = "timeout 10 env PULSE_SERVER=unix:" + socket() + " pactl " + args + " 2>/dev/null";
    std::vector<std::string> lines;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return lines;
    char line[1024];
    while (std::fgets(line, sizeof line, pipe)) {
        std::string text(line);
        if (!text.empty() && text.back() == '\n') text.pop_back();
        lines.push_back(text);
    }
    ::pclose(pipe);
    return lines;
}

// The socket answers before the later modules are loaded: ready once the daemon lists sources
// (a null sink's monitor is one) and every one asked for is among them.
bool PulseDaemon::waitForSources(const std::vector<Source>& sources, std::chrono::milliseconds timeout) {
    for (const auto deadline = Clock::now() + timeout; Clock::now() < deadline; std::this_thread::sleep_for(50ms)) {
        const auto lines = pactl("list short sources");
        const auto listed = [&](const Source& s) {
            return std::any_of(lines.begin(), lines.end(), [&](auto& l) { return l.find("\t" + s.name + "\t") != l.npos; });
        };
        if (!lines.empty() && std::all_of(sources.begin(), sources.end(), listed)) return true;
    }
    return false;
}

FifoFeeder::FifoFeeder(const std::string& fifo, int rate, int channels,
                       std::function<std::int16_t(std::uint64_t)> sampleAt)
    : sampleAt_(std::move(sampleAt)), thread_([this, fifo, rate, channels] { run(fifo, rate, channels); }) {}

FifoFeeder::~FifoFeeder() {
    stop_ = true;
    thread_.join();
}

void FifoFeeder::run(const std::string& fifo, int rate, int channels) {
    const int fd = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    const int framesPerTick = rate / 100;
    std::uint64_t sample = 0;
    std::string pending;
    const auto deadline = Clock::now() + 60s;
    while (!stop_ && Clock::now() < deadline) {
        if (pending.empty()) {
            for (int f = 0; f < framesPerTick * channels; ++f) {
                const auto v = static_cast<std::uint16_t>(sampleAt_(sample++));
                pending.push_back(static_cast<char>(v & 0xFF));
                pending.push_back(static_cast<char>(v >> 8));
            }
        }
        const ssize_t n = ::write(fd, pending.data(), pending.size());
        if (n > 0) pending.erase(0, static_cast<std::size_t>(n));
        std::this_thread::sleep_for(10ms);
    }
    ::close(fd);
}

}  // namespace lumeno::testing
