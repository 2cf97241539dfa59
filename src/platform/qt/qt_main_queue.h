#pragma once

#include <QObject>

#include "core/main_queue.h"

namespace lumeno::platform {

// The main queue on the Qt event loop of the thread that creates it. Posts from other threads
// are queued events; delays and periods are Qt timers created on the main thread.
// Thread: create on main; call from any thread.
class QtMainQueue final : public core::MainQueue {
public:
    QtMainQueue();
    ~QtMainQueue() override;

    void async(std::function<void()> task) override;
    core::TimerHandle asyncAfter(std::chrono::milliseconds delay, std::function<void()> task) override;
    core::TimerHandle every(std::chrono::milliseconds period, std::function<void()> task) override;

private:
    QObject* context_;  // lives on the main thread; parent of every timer
};

}  // namespace lumeno::platform
