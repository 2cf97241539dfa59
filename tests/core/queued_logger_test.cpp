#include "core/queued_logger.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace {

// A log target that can be held, like a terminal paused with Ctrl-S or a full journal pipe.
class GatedLogger final : public lumeno::core::Logger {
public:
    void line(std::string_view text) override {
        std::unique_lock lock(mutex_);
        open_.wait(lock, [&] { return isOpen_; });
        lines_.emplace_back(text);
    }
    void setOpen(bool open) {
        {
            std::lock_guard lock(mutex_);
            isOpen_ = open;
        }
        open_.notify_all();
    }
    std::vector<std::string> lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    std::mutex mutex_;
    std::condition_variable open_;
    bool isOpen_ = true;
    std::vector<std::string> lines_;
};

}  // namespace

TEST(QueuedLoggerTest, AStalledOutputNeverHoldsTheCallerAndDropsAreCountedAndReported) {
    GatedLogger target;
    target.setOpen(false);
    {
        lumeno::core::QueuedLogger log(target, 8);
        // The writer takes at most one line off the queue before the gate holds it, so 8 + 1 fit.
        for (int i = 0; i < 100; ++i) log.print("line ", i);
        EXPECT_GE(log.dropped(), 100u - 9u);
        target.setOpen(true);
        log.flush();
    }
    const auto lines = target.lines();
    ASSERT_GE(lines.size(), 9u);
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) EXPECT_EQ(lines[i], "line " + std::to_string(i));
    EXPECT_EQ(lines.back().rfind("⚠️ Log output could not keep up: ", 0), 0u) << lines.back();
}

TEST(QueuedLoggerTest, LinesKeepTheirOrderAcrossThreadsAndLongOnesAreCutOnACharacterBoundary) {
    GatedLogger target;
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
    const auto lines = target.lines();
    ASSERT_EQ(lines.size(), 1001u);
    int nextMain = 0, nextOther = 0;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        if (lines[i].rfind("main ", 0) == 0) EXPECT_EQ(lines[i], "main " + std::to_string(nextMain++));
        else EXPECT_EQ(lines[i], "other " + std::to_string(nextOther++));
    }
    EXPECT_EQ(lines.back().size(), lumeno::core::QueuedLogger::kSlotBytes - 1);
}
