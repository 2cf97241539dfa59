#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <thread>

#include "platform/qt/qt_main_queue.h"

using namespace std::chrono_literals;

namespace {
// Spins the Qt event loop (bounded) until `done` holds.
bool spinUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < timeoutMs) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return done();
}
}  // namespace

TEST(QtMainQueueTest, PostsFromAnyThreadRunOnTheMainThreadInOrder) {
    lumeno::platform::QtMainQueue queue;
    const auto mainId = std::this_thread::get_id();
    std::vector<int> ran;
    bool allOnMain = true;
    std::thread poster([&] {
        for (int i = 0; i < 100; ++i)
            queue.async([&, i] {
                allOnMain = allOnMain && std::this_thread::get_id() == mainId;
                ran.push_back(i);
            });
    });
    poster.join();
    ASSERT_TRUE(spinUntil([&] { return ran.size() == 100; }));
    EXPECT_TRUE(allOnMain);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(ran[static_cast<std::size_t>(i)], i);
}

TEST(QtMainQueueTest, DelaysRepeatsAndCancels) {
    lumeno::platform::QtMainQueue queue;
    std::vector<std::string> ran;
    int ticks = 0;
    queue.asyncAfter(80ms, [&] { ran.push_back("later"); });
    queue.asyncAfter(10ms, [&] { ran.push_back("sooner"); });
    queue.asyncAfter(20ms, [&] { ran.push_back("cancelled"); }).cancel();
    auto timer = queue.every(15ms, [&] { ++ticks; });
    ASSERT_TRUE(spinUntil([&] { return ran.size() == 2 && ticks >= 3; }));
    EXPECT_EQ(ran, (std::vector<std::string>{"sooner", "later"}));
    timer.cancel();
    const int stoppedAt = ticks;
    spinUntil([] { return false; }, 100);
    EXPECT_LE(ticks, stoppedAt + 1) << "at most a tick already under way";
}
