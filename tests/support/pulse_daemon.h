#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace lumeno::testing {

// Runs `program` with `variables` set over the inherited environment.
std::unique_ptr<ChildProcess> spawnWith(const std::vector<std::string>& variables, const std::string& program,
                                        const std::vector<std::string>& args);

// A private PulseAudio daemon in a temporary folder, with pipe sources the test writes to.
class PulseDaemon {
public:
    struct Source {
        std::string name;
        std::string description;
        int rate;
        int channels;
    };

    PulseDaemon(const TempDir& dir, const std::vector<Source>& sources, bool withSink = false);

    bool ready() const { return ready_; }
    std::string socket() const { return dir_ / "native"; }
    std::string fifo(const std::string& source) const { return dir_ / (source + ".fifo"); }
    std::string serverVariable() const { return "PULSE_SERVER=unix:" + socket(); }
    std::string log() const { return process_->stderrText(); }
    void stop();

    // Runs pactl against this daemon (for ten seconds at most) and returns its output lines.
    std::vector<std::string> pactl(const std::string& args) const;

private:
    bool waitForSources(const std::vector<Source>& sources, std::chrono::milliseconds timeout);

    const TempDir& dir_;
    std::unique_ptr<ChildProcess> process_;
    bool ready_ = false;
};

// Writes s16le samples into a pipe source's FIFO in real time, `sampleAt(i)` for the i-th
// interleaved sample, for at most a minute. A pipe source reads only while something records
// from it, so writes never block: a full FIFO is retried, never skipped.
class FifoFeeder {
public:
    FifoFeeder(const std::string& fifo, int rate, int channels, std::function<std::int16_t(std::uint64_t)> sampleAt);
    ~FifoFeeder();
    FifoFeeder(const FifoFeeder&) = delete;
    FifoFeeder& operator=(const FifoFeeder&) = delete;

private:
    void run(const std::string& fifo, int rate, int channels);

    std::function<std::int16_t(std::uint64_t)> sampleAt_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace lumeno::testing
