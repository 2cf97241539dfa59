#pragma once

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>

#include "core/bytes.h"
#include "core/log.h"

namespace lumeno::prefs {

// Bytes of a data value (a logo, a JSON document); kept distinct from text so kinds never mix.
// Shared, so copying the map for a write never copies a large logo.
struct Data {
    core::SharedBytes bytes;
    bool operator==(const Data& other) const { return *bytes == *other.bytes; }
};

using Value = std::variant<bool, double, std::string, Data>;

// The user defaults store: typed values under fixed keys, readable from any thread.
//
// Reads take an immutable snapshot of the map, so a reader on the audio thread never waits for a
// writer's work and never touches the disk. Writers (normally the main thread)
// copy the small map, change it and publish the copy. A writer thread saves the latest snapshot
// to settings.json shortly after each change; every save is atomic (temporary file, fsync,
// rename). Thread: any.
class PreferencesStore {
public:
    // In-memory only: nothing is read or written on disk (tests, tools).
    explicit PreferencesStore(core::Logger& log);
    // Backed by `file`: loaded now, saved after every change. A file that is not a JSON object is
    // moved aside; a value of the wrong kind is skipped with a log line and the rest loads. A file
    // that is a symbolic link stays one: saves go to the file it names.
    PreferencesStore(std::filesystem::path file, core::Logger& log,
                     std::chrono::milliseconds saveDelay = std::chrono::milliseconds(100));
    ~PreferencesStore();  // saves pending changes
    PreferencesStore(const PreferencesStore&) = delete;
    PreferencesStore& operator=(const PreferencesStore&) = delete;

    bool boolForKey(const std::string& key) const;
    double doubleForKey(const std::string& key) const;
    std::optional<std::string> stringForKey(const std::string& key) const;
    std::optional<std::string> dataForKey(const std::string& key) const;
    // The stored bytes themselves, without a copy; the same pointer until the value changes.
    core::SharedBytes sharedDataForKey(const std::string& key) const;
    bool hasKey(const std::string& key) const;
    // Changes with every write, so a reader can keep what it built from the values until then.
    std::uint64_t version() const { return version_.load(std::memory_order_acquire); }

    void setBool(const std::string& key, bool value);
    // A value outside the key's range (a timestamp of 1e308) is refused with a log line.
    void setDouble(const std::string& key, double value);
    // Writing nothing removes the key. Text over its key's limit is cut to it, with a log line.
    void setString(const std::string& key, std::optional<std::string> value);
    void setData(const std::string& key, std::optional<std::string> bytes);
    void remove(const std::string& key);

    // Saves now and waits for the disk. Returns false when the save failed (already logged).
    bool synchronize();

    const std::filesystem::path& file() const { return file_; }

private:
    using Map = std::map<std::string, Value>;

    std::shared_ptr<const Map> snapshot() const {
        std::lock_guard lock(pointerMutex_);
        return values_;
    }
    void publish(std::shared_ptr<const Map> next) {
        {
            std::lock_guard lock(pointerMutex_);
            values_.swap(next);
        }
        version_.fetch_add(1, std::memory_order_acq_rel);  // after the values: a reader never keeps stale ones
    }  // the old map is released outside the lock
    const Value* find(const Map& map, const std::string& key) const;
    void update(const std::string& key, std::optional<Value> value);
    // Cuts text over its key's limit, with one log line saying where it came from.
    void limitLength(const std::string& key, std::string& text, const std::string& where);
    void load();
    bool save();
    void writerLoop();

    core::Logger& log_;
    std::filesystem::path file_;
    std::chrono::milliseconds saveDelay_{0};
    // Guarded only for copying or swapping the pointer (never while a map is built or a file is
    // written), so a reader waits at most for one pointer swap.
    mutable std::mutex pointerMutex_;
    std::shared_ptr<const Map> values_;
    std::atomic<std::uint64_t> version_{0};
    std::mutex writeMutex_;  // serialises writers of the map, so no change is lost between copies
    std::mutex saveMutex_;   // serialises saves, so an older snapshot never overwrites a newer file

    std::mutex pendingMutex_;
    std::condition_variable pendingChanged_;
    bool dirty_ = false;
    bool stopping_ = false;
    bool lastSaveFailed_ = false;
    std::thread writer_;
};

// Holds the config folder for one running instance: two instances saving into one folder would
// each overwrite the other's changes. Released when the process ends, however it ends.
class ConfigFolderLock {
public:
    // Absent, with `error` set, when another process holds the folder or it cannot be created.
    static std::unique_ptr<ConfigFolderLock> acquire(const std::filesystem::path& folder, std::string& error);
    ~ConfigFolderLock();
    ConfigFolderLock(const ConfigFolderLock&) = delete;
    ConfigFolderLock& operator=(const ConfigFolderLock&) = delete;

private:
    explicit ConfigFolderLock(int fd) : fd_(fd) {}
    int fd_;
};

// The preference file's location: $XDG_CONFIG_HOME/lumeno, else ~/.config/lumeno.
std::filesystem::path defaultConfigDir();
inline constexpr const char* kSettingsFileName = "settings.json";

}  // namespace lumeno::prefs
