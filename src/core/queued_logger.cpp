#include "core/queued_logger.h"

#include <bit>
#include <cstring>
#include <string>

namespace lumeno::core {

// A bounded multi-producer queue in the style of Vyukov's: each slot's sequence number says
// whether it is free for the producer that claimed its position or full for the writer.

QueuedLogger::QueuedLogger(Logger& target, std::size_t capacity)
    : target_(target), mask_(std::bit_ceil(capacity < 2 ? std::size_t{2} : capacity) - 1),
      slots_(new Slot[mask_ + 1]) {
    for (std::size_t i = 0; i <= mask_; ++i) slots_[i].sequence.store(i, std::memory_order_relaxed);
    writer_ = std::thread([this] { run(); });
}

QueuedLogger::~QueuedLogger() {
    stopping_.store(true);
    wakeups_.fetch_add(1);
    wakeups_.notify_one();
    writer_.join();
}

void QueuedLogger::line(std::string_view text) {
    std::size_t position = head_.load(std::memory_order_relaxed);
    Slot* slot = nullptr;
    for (;;) {
        slot = &slots_[position & mask_];
        const std::size_t sequence = slot->sequence.load(std::memory_order_acquire);
        const auto difference = static_cast<std::ptrdiff_t>(sequence) - static_cast<std::ptrdiff_t>(position);
        if (difference == 0) {
            if (head_.compare_exchange_weak(position, position + 1, std::memory_order_relaxed)) break;
        } else if (difference < 0) {
            dropped_.fetch_add(1, std::memory_order_relaxed);  // full: the writer is behind
            return;
        } else {
            position = head_.load(std::memory_order_relaxed);
        }
    }
    std::size_t length = std::min(text.size(), kSlotBytes);
    // Never cut inside a UTF-8 sequence.
    if (length < text.size())
        while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
    std::memcpy(slot->text, text.data(), length);
    slot->length = static_cast<std::uint32_t>(length);
    slot->sequence.store(position + 1, std::memory_order_release);
    wakeups_.fetch_add(1, std::memory_order_release);
    wakeups_.notify_one();
}

bool QueuedLogger::pop(Slot*& slot, std::size_t& position) {
    position = tail_;
    slot = &slots_[position & mask_];
    return slot->sequence.load(std::memory_order_acquire) == position + 1;
}

void QueuedLogger::run() {
    std::uint64_t reportedDrops = 0;
    std::string text;
    text.reserve(kSlotBytes);
    for (;;) {
        const std::uint32_t seen = wakeups_.load(std::memory_order_acquire);
        Slot* slot = nullptr;
        std::size_t position = 0;
        while (pop(slot, position)) {
            text.assign(slot->text, slot->length);
            slot->sequence.store(position + mask_ + 1, std::memory_order_release);
            ++tail_;
            target_.line(text);
            written_.fetch_add(1, std::memory_order_release);
            written_.notify_all();
        }
        if (const std::uint64_t drops = dropped_.load(std::memory_order_relaxed); drops != reportedDrops) {
            target_.print("⚠️ Log output could not keep up: ", drops - reportedDrops, " lines dropped");
            reportedDrops = drops;
        }
        if (stopping_.load()) {
            if (!pop(slot, position)) return;
            continue;
        }
        wakeups_.wait(seen, std::memory_order_acquire);
    }
}

void QueuedLogger::flush() {
    // Lines claimed before now; a producer may still be copying its text, so wait on the count.
    const std::size_t target = head_.load(std::memory_order_acquire);
    for (;;) {
        const std::uint64_t written = written_.load(std::memory_order_acquire);
        if (written >= target) return;
        written_.wait(written, std::memory_order_acquire);
    }
}

}  // namespace lumeno::core
