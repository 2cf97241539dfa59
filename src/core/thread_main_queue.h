#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "core/main_queue.h"

namespace lumeno::core {

// A main queue on a thread of its own with real time, for programs without a Qt event loop
// (command-line tools, benchmarks). Thread: call from any thread; tasks run on the queue's thread.
class ThreadMainQueue final : public MainQueue {
public:
    ThreadMainQueue();
    ~ThreadMainQueue() override;  // drops tasks not yet due and joins

    void async(std::function<void()> task) override;
    TimerHandle asyncAfter(std::chrono::milliseconds delay, std::function<void()> task) override;
    TimerHandle every(std::chrono::milliseconds period, std::function<void()> task) override;

private:
    using Clock = std::chrono::steady_clock;
    struct Task {
        std::function<void()> run;
        TimerHandle handle;
        std::chrono::milliseconds period{0};
    };
    TimerHandle schedule(std::chrono::milliseconds delay, std::chrono::milliseconds period, std::function<void()> task);
    void loop();

    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::pair<Clock::time_point, std::uint64_t>, Task> tasks_;
    std::uint64_t sequence_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace lumeno::core
