#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "fakes/virtual_main_queue.h"

using namespace std::chrono_literals;
using lumeno::testing::VirtualMainQueue;

TEST(VirtualMainQueueTest, RunsDueTasksInTimeOrderFifoAmongEqualTimesEachSeeingItsDueTime) {
    VirtualMainQueue queue;
    std::vector<std::string> ran;
    queue.asyncAfter(1500ms, [&] { ran.push_back("1.5s"); });
    queue.asyncAfter(100ms, [&] { ran.push_back("0.1s-a"); });
    queue.async([&] { ran.push_back("now-a"); });
    queue.asyncAfter(100ms, [&] { ran.push_back("0.1s-b"); });
    queue.async([&] { ran.push_back("now-b"); });
    // A task scheduled from a task counts from the moment it runs.
    queue.asyncAfter(500ms, [&] {
        queue.asyncAfter(200ms, [&] { ran.push_back("at " + std::to_string(queue.now().count())); });
    });

    queue.runUntilIdle();
    EXPECT_EQ(ran, (std::vector<std::string>{"now-a", "now-b"}));
    queue.advance(15s);
    EXPECT_EQ(ran, (std::vector<std::string>{"now-a", "now-b", "0.1s-a", "0.1s-b", "at 700", "1.5s"}));
    EXPECT_EQ(queue.now(), 15s);
}

TEST(VirtualMainQueueTest, TimersRepeatUntilCancelledAlsoFromTheirOwnTick) {
    VirtualMainQueue queue;
    int ticks = 0, selfCancelling = 0;
    bool cancelledRan = false;
    auto timer = queue.every(2s, [&] { ++ticks; });
    lumeno::core::TimerHandle self;
    self = queue.every(1s, [&] {
        if (++selfCancelling == 2) self.cancel();
    });
    auto once = queue.asyncAfter(1s, [&] { cancelledRan = true; });
    once.cancel();
    once.cancel();  // idempotent
    queue.advance(1999ms);
    EXPECT_EQ(ticks, 0);
    queue.advance(1ms);
    EXPECT_EQ(ticks, 1);
    queue.advance(6s);
    EXPECT_EQ(ticks, 4);
    timer.cancel();
    queue.advance(10s);
    EXPECT_EQ(ticks, 4);
    EXPECT_EQ(selfCancelling, 2);
    EXPECT_FALSE(cancelledRan);
    EXPECT_EQ(queue.pendingCount(), 0u);
}

TEST(VirtualMainQueueTest, PostsFromOtherThreadsAllRunOnTheDrivingThread) {
    VirtualMainQueue queue;
    const auto mainId = std::this_thread::get_id();
    std::atomic<int> onMain{0};
    std::vector<std::thread> posters;
    for (int t = 0; t < 4; ++t)
        posters.emplace_back([&] {
            for (int i = 0; i < 250; ++i)
                queue.async([&] {
                    if (std::this_thread::get_id() == mainId) ++onMain;
                });
        });
    for (auto& p : posters) p.join();
    queue.runUntilIdle();
    EXPECT_EQ(onMain.load(), 1000);
}

TEST(VirtualMainQueueTest, WeakStepDoesNothingOnceItsOwnerIsGone) {
    struct Owner {
        int calls = 0;
    };
    VirtualMainQueue queue;
    auto alive = std::make_shared<Owner>();
    auto gone = std::make_shared<Owner>();
    int goneCalls = 0;
    queue.asyncAfter(1s, lumeno::core::weakly(alive, [](Owner& o) { ++o.calls; }));
    queue.asyncAfter(1s, lumeno::core::weakly(gone, [&](Owner&) { ++goneCalls; }));
    gone.reset();
    queue.advance(1s);
    EXPECT_EQ(alive->calls, 1);
    EXPECT_EQ(goneCalls, 0);
}

#include "core/thread_main_queue.h"

TEST(ThreadMainQueueTest, RunsInOrderOnItsThreadAndHonoursDelaysAndCancel) {
    lumeno::core::ThreadMainQueue queue;
    std::mutex mutex;
    std::condition_variable done;
    std::vector<int> ran;
    int ticks = 0;
    auto record = [&](int v) {
        std::lock_guard lock(mutex);
        ran.push_back(v);
        done.notify_all();
    };
    queue.asyncAfter(60ms, [&] { record(3); });
    queue.async([&] { record(1); });
    queue.async([&] { record(2); });
    queue.asyncAfter(30ms, [&] { record(99); }).cancel();
    auto timer = queue.every(10ms, [&] {
        std::lock_guard lock(mutex);
        ++ticks;
    });
    std::unique_lock lock(mutex);
    ASSERT_TRUE(done.wait_for(lock, 5s, [&] { return ran.size() == 3; }));
    EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));
    EXPECT_GE(ticks, 2);
    timer.cancel();
    lock.unlock();
    std::this_thread::sleep_for(30ms);
    lock.lock();
    const int after = ticks;
    lock.unlock();
    std::this_thread::sleep_for(50ms);
    lock.lock();
    EXPECT_EQ(ticks, after);
}
