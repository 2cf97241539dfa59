#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/log.h"

namespace lumeno::testing {

// Keeps every log line for assertions. Thread: any.
class CaptureLogger final : public core::Logger {
public:
    void line(std::string_view text) override {
        {
            std::lock_guard lock(mutex_);
            lines_.emplace_back(text);
        }
        changed_.notify_all();
    }

    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        lines_.clear();
    }
    int count(const std::string& exact) const {
        std::lock_guard lock(mutex_);
        return static_cast<int>(std::count(lines_.begin(), lines_.end(), exact));
    }
    bool contains(const std::string& exact) const { return waitFor(exact, {}); }
    bool containsPrefix(const std::string& prefix) const { return waitForPrefix(prefix, {}); }
    // Waits in real time (bounded) for a line from another thread.
    bool waitFor(const std::string& exact, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const {
        return waitForLine(timeout, [&](const std::string& l) { return l == exact; });
    }
    bool waitForPrefix(const std::string& prefix, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const {
        return waitForLine(timeout, [&](const std::string& l) { return l.starts_with(prefix); });
    }

private:
    bool waitForLine(std::chrono::milliseconds timeout, const std::function<bool(const std::string&)>& match) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return std::any_of(lines_.begin(), lines_.end(), match); });
    }

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> lines_;
};

}  // namespace lumeno::testing
