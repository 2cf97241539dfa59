#pragma once

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <string_view>
#include <system_error>

namespace lumeno::core {

// The system calls our file writes go through. Tests install their own to fail as a full disk
// or a dying device would (short writes, write and sync errors). Thread: any.
class FileCalls {
public:
    virtual ~FileCalls() = default;
    virtual ssize_t write(int fd, const void* data, std::size_t size);
    virtual int fsync(int fd);
    virtual int fdatasync(int fd);
};

// The calls in use: the system's unless a ScopedFileCalls is alive.
FileCalls& fileCalls();

// Installs `calls` for its own lifetime; no write may be in progress when it is made or goes.
class ScopedFileCalls {
public:
    explicit ScopedFileCalls(FileCalls& calls);
    ~ScopedFileCalls();
    ScopedFileCalls(const ScopedFileCalls&) = delete;
    ScopedFileCalls& operator=(const ScopedFileCalls&) = delete;

private:
    FileCalls* previous_;
};

struct AtomicWriteOptions {
    mode_t mode = 0666;           // of a new file, before the umask
    bool createFolders = false;   // make a missing folder instead of failing
};

// Replaces `path` with `bytes` so that a crash at any moment leaves the old file or the new one:
// a temporary file of its own in the same folder, written whole, synced, renamed over the
// target, then the folder synced. A target that is a symbolic link is written through to the
// file it names, so the link stays. On failure nothing of ours is left and the target is as it
// was.
std::error_code writeFileAtomically(const std::filesystem::path& path, std::string_view bytes,
                                    AtomicWriteOptions options = {});

// Temporary files that writeFileAtomically left beside `path` when the process died mid-write.
// Only the one process that owns the folder may call this: another's write may be in progress.
void removeStaleTemporaries(const std::filesystem::path& path);

// Writes all of `bytes`, across signals and short writes.
std::error_code writeAll(int fd, std::string_view bytes);
// fdatasync, for appends whose metadata need not be durable at once.
std::error_code syncData(int fd);

}  // namespace lumeno::core
