#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>

#include "core/log.h"

namespace lumeno::core {

// Puts lines on a bounded queue that a writer thread drains into `target`, so a thread that must
// never wait (audio, io) is not stalled by a paused terminal or a full journal pipe. line() copies
// the text into a preallocated slot without locking or allocating; when every slot is taken the
// line is dropped and counted, and the writer reports the count once it catches up. Lines longer
// than a slot are cut. Thread: line from any thread; the destructor writes what is queued.
class QueuedLogger final : public Logger {
public:
    static constexpr std::size_t kSlotBytes = 1024;

    explicit QueuedLogger(Logger& target, std::size_t capacity = 1024);
    ~QueuedLogger() override;
    QueuedLogger(const QueuedLogger&) = delete;
    QueuedLogger& operator=(const QueuedLogger&) = delete;

    void line(std::string_view text) override;
    // Waits until every line queued before the call is written (shutdown, tests).
    void flush();
    std::uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

private:
    struct Slot {
        std::atomic<std::size_t> sequence;
        std::uint32_t length;
        char text[kSlotBytes];
    };

    bool pop(Slot*& slot, std::size_t& position);
    void run();

    Logger& target_;
    const std::size_t mask_;
    std::unique_ptr<Slot[]> slots_;
    alignas(64) std::atomic<std::size_t> head_{0};  // next slot a producer claims
    alignas(64) std::size_t tail_ = 0;              // next slot the writer reads; writer only
    alignas(64) std::atomic<std::uint32_t> wakeups_{0};
    std::atomic<std::uint64_t> written_{0};
    std::atomic<std::uint64_t> dropped_{0};
    std::atomic<bool> stopping_{false};
    std::thread writer_;
};

}  // namespace lumeno::core
