#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace lumeno::testing {

// Runs a program with its standard output and error captured line by line, for end-to-end
// tests of the real binaries. The destructor kills a child that is still running.
class ChildProcess {
public:
    // `extraEnvironment` replaces inherited variables of the same name ("DISPLAY=" empties it).
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::vector<std::string>& extraEnvironment = {}) {
        int out[2], err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);

        std::vector<std::string> argvStrings{program};
        argvStrings.insert(argvStrings.end(), args.begin(), args.end());
        auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
        std::vector<std::string> envStrings;
        for (char** e = environ; *e; ++e) {
            const std::string entry = *e;
            const bool replaced = std::any_of(extraEnvironment.begin(), extraEnvironment.end(),
                                              [&](const std::string& extra) { return nameOf(extra) == nameOf(entry); });
            if (!replaced) envStrings.push_back(entry);
        }
        envStrings.insert(envStrings.end(), extraEnvironment.begin(), extraEnvironment.end());

        const int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, pointers(argvStrings).data(),
                                   pointers(envStrings).data());
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(err[1]);
        if (rc != 0) {
            ::close(out[0]);
            ::close(err[0]);
            throw std::runtime_error("cannot start " + program + ": " + std::strerror(rc));
        }
        outReader_ = std::thread([this, fd = out[0]] { pump(fd, true); });
        errReader_ = std::thread([this, fd = err[0]] { pump(fd, false); });
    }
    ~ChildProcess() {
        if (running()) {
            ::kill(pid_, SIGKILL);
            wait(std::chrono::seconds(5));
        }
        outReader_.join();
        errReader_.join();
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool waitForLine(const std::string& exact, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        return waitForAnyLine(timeout, [&](const std::string& l) { return l == exact; });
    }
    bool waitForPrefix(const std::string& prefix, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        return waitForAnyLine(timeout, [&](const std::string& l) { return l.starts_with(prefix); });
    }
    std::vector<std::string> stdoutLines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    std::string stderrText() const {
        std::lock_guard lock(mutex_);
        return stderr_;
    }

    void signal(int sig) {
        if (running()) ::kill(pid_, sig);
    }
    // The exit status, or nothing if the process has not ended within `timeout`. Once it has
    // ended, everything it wrote has been read.
    std::optional<int> wait(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (running() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (status_) {
            // The output may still be in the pipes: read it to the end before anyone judges it.
            std::unique_lock lock(mutex_);
            changed_.wait_until(lock, deadline + std::chrono::seconds(5), [this] { return pumpsDone_ == 2; });
        }
        return status_;
    }
    bool running() {
        if (status_) return false;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return false;
        }
        return true;
    }

private:
    static std::vector<char*> pointers(std::vector<std::string>& strings) {
        std::vector<char*> out;
        for (auto& s : strings) out.push_back(s.data());
        out.push_back(nullptr);
        return out;
    }
    void pump(int fd, bool isStdout) {
        char buffer[4096];
        for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
            std::lock_guard lock(mutex_);
            if (!isStdout) {
                stderr_.append(buffer, static_cast<std::size_t>(n));
                continue;
            }
            partial_.append(buffer, static_cast<std::size_t>(n));
            for (std::size_t end; (end = partial_.find('\n')) != std::string::npos;) {
                lines_.push_back(partial_.substr(0, end));
                partial_.erase(0, end + 1);
            }
            changed_.notify_all();
        }
        ::close(fd);
        std::lock_guard lock(mutex_);
        ++pumpsDone_;
        changed_.notify_all();
    }
    bool waitForAnyLine(std::chrono::milliseconds timeout, const std::function<bool(const std::string&)>& match) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return std::any_of(lines_.begin(), lines_.end(), match); });
    }

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

}  // namespace lumeno::testing
