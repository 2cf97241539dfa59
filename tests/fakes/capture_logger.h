#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
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
    bool contains(const std::string& exact) const {
        std::lock_guard lock(mutex_);
        return std::find(lines_.begin(), lines_.end(), exact) != lines_.end();
    }
    bool containsPrefix(const std::string& prefix) const {
        std::lock_guard lock(mutex_);
        return std::any_of(lines_.begin(), lines_.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
    }
    int count(const std::string& exact) const {
        std::lock_guard lock(mutex_);
        return static_cast<int>(std::count(lines_.begin(), lines_.end(), exact));
    }
    // Waits in real time (bounded) for a line from another thread.
    bool waitFor(const std::string& exact, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return std::find(lines_.begin(), lines_.end(), exact) != lines_.end(); });
    }
    bool waitForPrefix(const std::string& prefix, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] {
            return std::any_of(lines_.begin(), lines_.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
        });
    }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<std::string> lines_;
};

}  // namespace lumeno::testing
