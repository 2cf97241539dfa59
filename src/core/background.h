#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace lumeno::core {

// A small pool for work that must stay off the main thread and the audio thread (punctuation
// passes, the periodic listener count, PNG writes). Tasks run in submission order per worker;
// the destructor finishes queued tasks and joins. Thread: submit from any thread.
class BackgroundQueue {
public:
    explicit BackgroundQueue(unsigned workers = 1);
    ~BackgroundQueue();
    BackgroundQueue(const BackgroundQueue&) = delete;
    BackgroundQueue& operator=(const BackgroundQueue&) = delete;

    void submit(std::function<void()> task);

private:
    void run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

}  // namespace lumeno::core
