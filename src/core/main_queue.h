#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

namespace lumeno::core {

// Cancels a scheduled task or repeating timer. Copies share the same timer; cancelling is
// idempotent and safe from any thread. A task that is already running finishes.
class TimerHandle {
public:
    TimerHandle() = default;
    explicit TimerHandle(std::shared_ptr<std::atomic<bool>> cancelled) : cancelled_(std::move(cancelled)) {}

    void cancel() const {
        if (cancelled_) cancelled_->store(true);
    }
    bool isCancelled() const { return !cancelled_ || cancelled_->load(); }
    bool valid() const { return static_cast<bool>(cancelled_); }

private:
    std::shared_ptr<std::atomic<bool>> cancelled_;
};

// The application's main thread as a queue. async/asyncAfter/every are callable from any
// thread; the tasks run on the main thread, in submission order among equal due times.
class MainQueue {
public:
    virtual ~MainQueue() = default;
    virtual void async(std::function<void()> task) = 0;
    virtual TimerHandle asyncAfter(std::chrono::milliseconds delay, std::function<void()> task) = 0;
    virtual TimerHandle every(std::chrono::milliseconds period, std::function<void()> task) = 0;
};

// Wraps a member-style step so that it holds its owner weakly and does nothing once the owner
// is gone: queue.asyncAfter(1s, weakly(self, [](Controller& c) { c.restore(); })).
template <typename T, typename F>
auto weakly(const std::shared_ptr<T>& owner, F step) {
    return [weak = std::weak_ptr<T>(owner), step = std::move(step)]() mutable {
        if (auto strong = weak.lock()) step(*strong);
    };
}

}  // namespace lumeno::core
