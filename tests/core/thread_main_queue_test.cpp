#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <vector>

#include "core/thread_main_queue.h"

using namespace std::chrono_literals;

TEST(ThreadMainQueueTest, RunsInOrderOnItsThreadAndHonoursDelaysAndCancel) {
    lumeno::core::ThreadMainQueue queue;
    std::mutex mutex;
    std::condition_variable done;
    std::vector<int> ran;
    auto record = [&](int v) {
        std::lock_guard lock(mutex);
        ran.push_back(v);
        done.notify_all();
    };
    queue.asyncAfter(60ms, [&] { record(3); });
    queue.async([&] { record(1); });
    queue.async([&] { record(2); });
    queue.asyncAfter(30ms, [&] { record(99); }).cancel();
    std::unique_lock lock(mutex);
    ASSERT_TRUE(done.wait_for(lock, 5s, [&] { return ran.size() == 3; }));
    EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));
}
