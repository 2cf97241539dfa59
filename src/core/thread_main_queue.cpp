#include "core/thread_main_queue.h"

namespace lumeno::core {

ThreadMainQueue::ThreadMainQueue() : thread_([this] { loop(); }) {}

ThreadMainQueue::~ThreadMainQueue() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void ThreadMainQueue::async(std::function<void()> task) { schedule({}, {}, std::move(task)); }

TimerHandle ThreadMainQueue::asyncAfter(std::chrono::milliseconds delay, std::function<void()> task) {
    return schedule(delay, {}, std::move(task));
}

TimerHandle ThreadMainQueue::every(std::chrono::milliseconds period, std::function<void()> task) {
    return schedule(period, period, std::move(task));
}

TimerHandle ThreadMainQueue::schedule(std::chrono::milliseconds delay, std::chrono::milliseconds period,
                                      std::function<void()> task) {
    TimerHandle handle(std::make_shared<std::atomic<bool>>(false));
    {
        std::lock_guard lock(mutex_);
        tasks_.emplace(std::make_pair(Clock::now() + delay, sequence_++), Task{std::move(task), handle, period});
    }
    changed_.notify_all();
    return handle;
}

void ThreadMainQueue::loop() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (tasks_.empty()) {
            changed_.wait(lock);
            continue;
        }
        auto it = tasks_.begin();
        if (it->first.first > Clock::now()) {
            changed_.wait_until(lock, it->first.first);
            continue;
        }
        Task task = std::move(it->second);
        tasks_.erase(it);
        if (task.handle.isCancelled()) continue;
        if (task.period.count() > 0)
            tasks_.emplace(std::make_pair(Clock::now() + task.period, sequence_++), Task{task.run, task.handle, task.period});
        lock.unlock();
        task.run();
        lock.lock();
    }
}

}  // namespace lumeno::core
