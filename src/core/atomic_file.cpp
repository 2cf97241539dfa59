#include "core/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <random>

namespace lumeno::core {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kTemporaryMark = ".tmp-";
constexpr std::size_t kSuffixLength = 6;
constexpr std::string_view kSuffixAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

FileCalls systemCalls;
std::atomic<FileCalls*> currentCalls{&systemCalls};

std::error_code lastError() { return {errno, std::generic_category()}; }

// Follows a chain of links to the file it ends at (which need not exist yet).
fs::path resolveLinks(fs::path path, std::error_code& ec) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
        const fs::path target = fs::read_symlink(path, ec);
        if (ec) return {};
        path = target.is_absolute() ? target : path.parent_path() / target;
    }
    ec = std::make_error_code(std::errc::too_many_symbolic_link_levels);
    return {};
}

// ".settings.json.tmp-a1B2c3": hidden, and named after its target so a stale one is recognised.
std::string temporaryPrefix(const fs::path& target) { return "." + target.filename().string() + std::string(kTemporaryMark); }

// A fresh file beside `target`, created exclusively so nobody else's file is ever reused; -1
// with errno set on failure.
int createTemporary(const fs::path& target, mode_t mode, fs::path& temporary) {
    thread_local std::mt19937 random{std::random_device{}()};
    std::uniform_int_distribution<std::size_t> pick(0, kSuffixAlphabet.size() - 1);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = temporaryPrefix(target);
        for (std::size_t i = 0; i < kSuffixLength; ++i) name += kSuffixAlphabet[pick(random)];
        temporary = target.parent_path() / name;
        const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

bool isTemporaryOf(const std::string& name, std::string_view prefix) {
    if (name.size() != prefix.size() + kSuffixLength || name.compare(0, prefix.size(), prefix) != 0) return false;
    return name.find_first_not_of(kSuffixAlphabet, prefix.size()) == std::string::npos;
}

}  // namespace

ssize_t FileCalls::write(int fd, const void* data, std::size_t size) { return ::write(fd, data, size); }
int FileCalls::fsync(int fd) { return ::fsync(fd); }
int FileCalls::fdatasync(int fd) { return ::fdatasync(fd); }

FileCalls& fileCalls() { return *currentCalls.load(std::memory_order_acquire); }

ScopedFileCalls::ScopedFileCalls(FileCalls& calls) : previous_(currentCalls.exchange(&calls)) {}
ScopedFileCalls::~ScopedFileCalls() { currentCalls.store(previous_); }

std::error_code writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = fileCalls().write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return lastError();
        if (n == 0) return std::make_error_code(std::errc::no_space_on_device);  // no progress is no room
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return {};
}

std::error_code syncData(int fd) { return fileCalls().fdatasync(fd) == 0 ? std::error_code{} : lastError(); }

std::error_code writeFileAtomically(const fs::path& path, std::string_view bytes, AtomicWriteOptions options) {
    std::error_code ec;
    const fs::path target = resolveLinks(path, ec);
    if (ec) return ec;
    if (target.filename().empty()) return std::make_error_code(std::errc::is_a_directory);
    const fs::path folder = target.parent_path().empty() ? fs::path(".") : target.parent_path();
    if (options.createFolders) {
        fs::create_directories(folder, ec);
        if (ec) return ec;
    }
    fs::path temporary;
    const int fd = createTemporary(target, options.mode, temporary);
    if (fd < 0) return lastError();

    std::error_code error = writeAll(fd, bytes);
    if (!error && fileCalls().fsync(fd) != 0) error = lastError();
    // close can report a deferred write error (network file systems).
    if (::close(fd) != 0 && !error) error = lastError();
    if (!error && ::rename(temporary.c_str(), target.c_str()) != 0) error = lastError();
    if (error) {
        ::unlink(temporary.c_str());
        return error;
    }
    // Makes the rename itself durable; the file is in place already, so a failure here is not one.
    if (const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
        fileCalls().fsync(dir);
        ::close(dir);
    }
    return {};
}

void removeStaleTemporaries(const fs::path& path) {
    std::error_code ec;
    fs::path target = resolveLinks(path, ec);
    if (ec) target = path;
    // Also the form an earlier version of ours used: "settings.json.tmp-a1B2c3", not hidden.
    const std::string prefixes[] = {temporaryPrefix(target), target.filename().string() + std::string(kTemporaryMark)};
    const fs::path folder = target.parent_path().empty() ? fs::path(".") : target.parent_path();
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        for (const auto& prefix : prefixes)
            if (isTemporaryOf(name, prefix) && entry.is_regular_file(ec)) fs::remove(entry.path(), ec);
    }
}

}  // namespace lumeno::core
