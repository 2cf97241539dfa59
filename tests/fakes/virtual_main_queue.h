#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "core/main_queue.h"

namespace lumeno::testing {

// A main queue on virtual time: tasks run only when the test drives the queue, due tasks in
// time order and FIFO among equal times, so a 15 s delay takes no real time. async and the
// timers may be called from any thread (server and audio threads post here); the test thread
// is the "main thread" that runs them.
class VirtualMainQueue final : public core::MainQueue {
public:
    void async(std::function<void()> task) override { schedule(std::chrono::milliseconds(0), {}, std::move(task)); }
    core::TimerHandle asyncAfter(std::chrono::milliseconds delay, std::function<void()> task) override {
        return schedule(delay, {}, std::move(task));
    }
    core::TimerHandle every(std::chrono::milliseconds period, std::function<void()> task) override {
        return schedule(period, period, std::move(task));
    }

    // Runs every task due now, including tasks those tasks schedule for now. Returns how many ran.
    int runUntilIdle() {
        int ran = 0;
        while (runOneDueBy(now())) ++ran;
        return ran;
    }
    // Moves the clock forward by `delta`, running every task that falls due on the way at its time.
    void advance(std::chrono::milliseconds delta) {
        const auto target = now() + delta;
        while (runOneDueBy(target)) {
        }
        std::lock_guard lock(mutex_);
        now_ = target;
    }
    // Runs due tasks and waits in real time (bounded) for other threads to post, until `done` holds.
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            runUntilIdle();
            if (done()) return true;
            std::unique_lock lock(mutex_);
            if (std::chrono::steady_clock::now() >= deadline) return false;
            // Wake on a post from another thread, or poll for conditions that are not posts.
            posted_.wait_for(lock, std::chrono::milliseconds(5));
        }
    }
    std::size_t pendingCount() const {
        std::lock_guard lock(mutex_);
        return tasks_.size();
    }

private:
    struct Task {
        std::function<void()> run;
        core::TimerHandle handle;
        std::chrono::milliseconds period{0};  // 0: once
    };

    std::chrono::milliseconds now() const {
        std::lock_guard lock(mutex_);
        return now_;
    }
    core::TimerHandle schedule(std::chrono::milliseconds delay, std::chrono::milliseconds period,
                               std::function<void()> task) {
        core::TimerHandle handle(std::make_shared<std::atomic<bool>>(false));
        {
            std::lock_guard lock(mutex_);
            tasks_.emplace(std::make_pair(now_ + delay, sequence_++), Task{std::move(task), handle, period});
        }
        posted_.notify_all();
        return handle;
    }
    bool runOneDueBy(std::chrono::milliseconds limit) {
        Task task;
        {
            std::lock_guard lock(mutex_);
            auto it = tasks_.begin();
            if (it == tasks_.end() || it->first.first > limit) return false;
            now_ = std::max(now_, it->first.first);
            task = std::move(it->second);
            tasks_.erase(it);
            if (task.handle.isCancelled()) return true;
            if (task.period.count() > 0)
                tasks_.emplace(std::make_pair(now_ + task.period, sequence_++), Task{task.run, task.handle, task.period});
        }
        task.run();
        return true;
    }

    mutable std::mutex mutex_;
    std::condition_variable posted_;
    std::chrono::milliseconds now_{0};
    std::uint64_t sequence_ = 0;
    std::map<std::pair<std::chrono::milliseconds, std::uint64_t>, Task> tasks_;
};

}  // namespace lumeno::testing
