#pragma once

#include <cerrno>
#include <optional>

#include "core/atomic_file.h"

namespace lumeno::testing {

// File writes that fail as a full disk or a dying device would, installed for its lifetime.
// Thread: whichever one writes; set the fields before the writes they are to affect.
class FailingFileCalls final : public core::FileCalls {
public:
    FailingFileCalls() : scope_(*this) {}

    std::optional<std::size_t> spaceLeft;  // bytes that fit; the write that crosses it is short
    int syncError = 0;                     // errno for fsync and fdatasync; 0 lets them succeed

    ssize_t write(int fd, const void* data, std::size_t size) override {
        if (!spaceLeft) return core::FileCalls::write(fd, data, size);
        if (*spaceLeft == 0) {
            errno = ENOSPC;
            return -1;
        }
        const ssize_t n = core::FileCalls::write(fd, data, size < *spaceLeft ? size : *spaceLeft);
        if (n > 0) *spaceLeft -= static_cast<std::size_t>(n);
        return n;
    }
    int fsync(int fd) override { return syncError ? fail() : core::FileCalls::fsync(fd); }
    int fdatasync(int fd) override { return syncError ? fail() : core::FileCalls::fdatasync(fd); }

private:
    int fail() const {
        errno = syncError;
        return -1;
    }
    core::ScopedFileCalls scope_;
};

}  // namespace lumeno::testing
