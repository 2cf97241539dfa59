#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>

#include "core/main_queue.h"

namespace lumeno::testing {

// A main queue on virtual time: tasks run only when the test drives the queue, due tasks in
// time order and FIFO among equal times, so a 15 s delay takes no real time. async and the
// timers may be called from any thread (server and audio threads post here); the test thread
// is the "main thread" that runs them.
class VirtualMainQueue final : public core::MainQueue {
public:
    using Clock = std::chrono::milliseconds;

    void async(std::function<void()> task) override;
    core::TimerHandle asyncAfter(std::chrono::milliseconds delay, std::function<void()> task) override;
    core::TimerHandle every(std::chrono::milliseconds period, std::function<void()> task) override;

    // Runs every task due now, including tasks those tasks schedule for now. Returns how many ran.
    int runUntilIdle();
    // Moves the clock forward by `delta`, running every task that falls due on the way at its time.
    void advance(std::chrono::milliseconds delta);
    // Runs due tasks and waits in real time (bounded) for other threads to post, until `done` holds.
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(5));

    std::chrono::milliseconds now() const;
    std::size_t pendingCount() const;

private:
    struct Task {
        std::function<void()> run;
        core::TimerHandle handle;
        std::chrono::milliseconds period{0};  // 0: once
    };
    core::TimerHandle schedule(std::chrono::milliseconds delay, std::chrono::milliseconds period,
                               std::function<void()> task);
    bool runOneDueBy(std::chrono::milliseconds limit);

    mutable std::mutex mutex_;
    std::condition_variable posted_;
    std::chrono::milliseconds now_{0};
    std::uint64_t sequence_ = 0;
    std::map<std::pair<std::chrono::milliseconds, std::uint64_t>, Task> tasks_;
};

}  // namespace lumeno::testing
