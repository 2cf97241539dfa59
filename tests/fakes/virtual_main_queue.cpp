#include "fakes/virtual_main_queue.h"

#include <memory>

namespace lumeno::testing {

void VirtualMainQueue::async(std::function<void()> task) { schedule(std::chrono::milliseconds(0), {}, std::move(task)); }

core::TimerHandle VirtualMainQueue::asyncAfter(std::chrono::milliseconds delay, std::function<void()> task) {
    return schedule(delay, {}, std::move(task));
}

core::TimerHandle VirtualMainQueue::every(std::chrono::milliseconds period, std::function<void()> task) {
    return schedule(period, period, std::move(task));
}

core::TimerHandle VirtualMainQueue::schedule(std::chrono::milliseconds delay, std::chrono::milliseconds period,
                                             std::function<void()> task) {
    core::TimerHandle handle(std::make_shared<std::atomic<bool>>(false));
    {
        std::lock_guard lock(mutex_);
        tasks_.emplace(std::make_pair(now_ + delay, sequence_++), Task{std::move(task), handle, period});
    }
    posted_.notify_all();
    return handle;
}

bool VirtualMainQueue::runOneDueBy(std::chrono::milliseconds limit) {
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

int VirtualMainQueue::runUntilIdle() {
    int ran = 0;
    while (runOneDueBy(now())) ++ran;
    return ran;
}

void VirtualMainQueue::advance(std::chrono::milliseconds delta) {
    const auto target = now() + delta;
    while (runOneDueBy(target)) {
    }
    std::lock_guard lock(mutex_);
    now_ = target;
}

bool VirtualMainQueue::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
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

std::chrono::milliseconds VirtualMainQueue::now() const {
    std::lock_guard lock(mutex_);
    return now_;
}

std::size_t VirtualMainQueue::pendingCount() const {
    std::lock_guard lock(mutex_);
    return tasks_.size();
}

}  // namespace lumeno::testing
