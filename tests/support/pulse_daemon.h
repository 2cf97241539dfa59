#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace lumeno::testing {

// Runs `program` with `variables` set over the inherited environment.
inline std::unique_ptr<ChildProcess> spawnWith(const std::vector<std::string>& variables, const std::string& program,
                                               const std::vector<std::string>& args) {
    return std::make_unique<ChildProcess>(program, args, variables);
}

// A private PulseAudio daemon in a temporary folder, with pipe sources the test writes to.
class PulseDaemon {
public:
    struct Source {
        std::string name;
        std::string description;
        int rate;
        int channels;
    };

    PulseDaemon(const TempDir& dir, const std::vector<Source>& sources, bool withSink = false) : dir_(dir) {
        std::vector<std::string> args = {"--daemonize=no", "--exit-idle-time=-1", "-n", "--use-pid-file=no",
                                         "--load=module-native-protocol-unix auth-anonymous=1 socket=" + socket()};
        for (const auto& s : sources) {
            args.push_back("--load=module-pipe-source source_name=" + s.name + " file=" + fifo(s.name) +
                           " format=s16le rate=" + std::to_string(s.rate) + " channels=" + std::to_string(s.channels) +
                           " source_properties=device.description=" + s.description);
        }
        if (withSink) args.push_back("--load=module-null-sink sink_name=speakers");
        process_ = spawnWith({"HOME=" + dir.path().string(), "XDG_RUNTIME_DIR=" + dir.path().string()},
                             "/usr/bin/pulseaudio", args);
        ready_ = waitForSources(sources, std::chrono::seconds(10));
    }

    bool ready() const { return ready_; }
    std::string socket() const { return dir_ / "native"; }
    std::string fifo(const std::string& source) const { return dir_ / (source + ".fifo"); }
    std::string serverVariable() const { return "PULSE_SERVER=unix:" + socket(); }
    std::string log() const { return process_->stderrText(); }
    void stop() {
        process_->signal(SIGKILL);
        process_->wait(std::chrono::seconds(5));
    }

    // Runs pactl against this daemon (for ten seconds at most) and returns its output lines.
    std::vector<std::string> pactl(const std::string& args) const {
        std::vector<std::string> words = {"10", "pactl"};
        std::istringstream in(args);
        for (std::string word; in >> word;) words.push_back(word);
        ChildProcess run("/usr/bin/timeout", words, {serverVariable()});
        run.wait(std::chrono::seconds(15));
        return run.stdoutLines();
    }

private:
    // The socket answers before the later modules are loaded: ready once the daemon lists sources
    // (a null sink's monitor is one) and every one asked for is among them.
    bool waitForSources(const std::vector<Source>& sources, std::chrono::milliseconds timeout) {
        for (const auto deadline = std::chrono::steady_clock::now() + timeout; std::chrono::steady_clock::now() < deadline;
             std::this_thread::sleep_for(std::chrono::milliseconds(50))) {
            const auto lines = pactl("list short sources");
            const auto listed = [&](const Source& s) {
                return std::any_of(lines.begin(), lines.end(), [&](auto& l) { return l.find("\t" + s.name + "\t") != l.npos; });
            };
            if (!lines.empty() && std::all_of(sources.begin(), sources.end(), listed)) return true;
        }
        return false;
    }

    const TempDir& dir_;
    std::unique_ptr<ChildProcess> process_;
    bool ready_ = false;
};

// Writes s16le samples into a pipe source's FIFO in real time, `sampleAt(i)` for the i-th
// interleaved sample, for at most a minute. A pipe source reads only while something records
// from it, so writes never block: a full FIFO is retried, never skipped.
class FifoFeeder {
public:
    FifoFeeder(const std::string& fifo, int rate, int channels, std::function<std::int16_t(std::uint64_t)> sampleAt)
        : sampleAt_(std::move(sampleAt)), thread_([this, fifo, rate, channels] { run(fifo, rate, channels); }) {}
    ~FifoFeeder() {
        stop_ = true;
        thread_.join();
    }
    FifoFeeder(const FifoFeeder&) = delete;
    FifoFeeder& operator=(const FifoFeeder&) = delete;

private:
    void run(const std::string& fifo, int rate, int channels) {
        const int fd = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return;
        const int framesPerTick = rate / 100;
        std::uint64_t sample = 0;
        std::string pending;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!stop_ && std::chrono::steady_clock::now() < deadline) {
            if (pending.empty()) {
                for (int f = 0; f < framesPerTick * channels; ++f) {
                    const auto v = static_cast<std::uint16_t>(sampleAt_(sample++));
                    pending.push_back(static_cast<char>(v & 0xFF));
                    pending.push_back(static_cast<char>(v >> 8));
                }
            }
            const ssize_t n = ::write(fd, pending.data(), pending.size());
            if (n > 0) pending.erase(0, static_cast<std::size_t>(n));
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ::close(fd);
    }

    std::function<std::int16_t(std::uint64_t)> sampleAt_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace lumeno::testing
