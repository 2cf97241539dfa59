#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace lumeno::testing {

// Runs a program with its standard output and error captured line by line, for end-to-end
// tests of the real binaries. The destructor kills a child that is still running.
class ChildProcess {
public:
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::vector<std::string>& extraEnvironment = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool waitForLine(const std::string& exact, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    bool waitForPrefix(const std::string& prefix, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    std::vector<std::string> stdoutLines() const;
    std::string stderrText() const;

    void signal(int signal);
    // The exit status, or nothing if the process has not ended within `timeout`. Once it has
    // ended, everything it wrote has been read.
    std::optional<int> wait(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    bool running();

private:
    void pump(int fd, bool isStdout);

    int pid_ = -1;
    std::optional<int> status_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    std::string partial_;
    std::string stderr_;
    int pumpsDone_ = 0;  // readers that reached the end of their pipe
    std::thread outReader_, errReader_;
};

// A TCP port that was free a moment ago on 127.0.0.1.
std::uint16_t freePort();

}  // namespace lumeno::testing
