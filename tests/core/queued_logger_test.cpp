#include "core/queued_logger.h"

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>
#include <vector>

namespace {

// A log target that can be held, like a terminal paused with Ctrl-S or a full journal pipe. Only
// the logger's writer thread appends; a test reads the lines once the logger is gone.
class GatedLogger final : public lumeno::core::Logger {
public:
    void line(std::string_view text) override {
        gate_.wait();
        lines.emplace_back(text);
    }
    void open() { opener_.set_value(); }
    std::vector<std::string> lines;

private:
    std::promise<void> opener_;
    std::shared_future<void> gate_ = opener_.get_future().share();
};

}  // namespace

TEST(QueuedLoggerTest, AStalledOutputNeverHoldsTheCallerAndDropsAreCountedAndReported) {
    GatedLogger target;
    {
        lumeno::core::QueuedLogger log(target, 8);
        // The writer takes at most one line off the queue before the gate holds it, so 8 + 1 fit.
        for (int i = 0; i < 100; ++i) log.print("line ", i);
        EXPECT_GE(log.dropped(), 100u - 9u);
        target.open();
        log.flush();
    }
    const auto& lines = target.lines;
    ASSERT_GE(lines.size(), 9u);
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) EXPECT_EQ(lines[i], "line " + std::to_string(i));
    EXPECT_EQ(lines.back().rfind("⚠️ Log output could not keep up: ", 0), 0u) << lines.back();
}

TEST(QueuedLoggerTest, NoLineIsLostAcrossThreadsAndLongOnesAreCutOnACharacterBoundary) {
    GatedLogger target;
    target.open();
    {
        lumeno::core::QueuedLogger log(target, 4096);
        std::thread other([&] {
            for (int i = 0; i < 500; ++i) log.print("other ", i);
        });
        for (int i = 0; i < 500; ++i) log.print("main ", i);
        other.join();
        // "é" is two bytes: a cut at the slot size would split one.
        std::string longLine = "x";
        for (int i = 0; i < 800; ++i) longLine += "\xC3\xA9";
        log.line(longLine);
    }
    const auto& lines = target.lines;
    ASSERT_EQ(lines.size(), 1001u);
    EXPECT_EQ(lines.back().size(), lumeno::core::QueuedLogger::kSlotBytes - 1);
}
