// Any bytes as settings.json: loading never fails the process, and what was loaded survives a
// save and a second load unchanged.
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/log.h"
#include "prefs/keys.h"
#include "prefs/preferences_store.h"

namespace fs = std::filesystem;
using namespace lumeno;

namespace {
bool same(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

int corruptFiles(const fs::path& dir) {
    int count = 0;
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.path().filename().string().find(".corrupt-") != std::string::npos) ++count;
    return count;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const fs::path dir = [] {
        // Shared memory: every run saves with fsync, which a disk would make a thousand times slower.
        const fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
        fs::path d = base / ("lumeno-settings-fuzz-" + std::to_string(::getpid()));
        fs::create_directories(d);
        return d;
    }();
    static core::NullLogger log;
    fs::remove_all(dir);
    fs::create_directories(dir);
    const fs::path file = dir / prefs::kSettingsFileName;
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));

    prefs::PreferencesStore first(file, log, std::chrono::hours(1));
    if (!first.synchronize()) __builtin_trap();
    const int asideAfterFirst = corruptFiles(dir);
    prefs::PreferencesStore second(file, log, std::chrono::hours(1));
    for (const prefs::KeyInfo& info : prefs::kKeyTable) {
        const std::string key = info.name;
        if (first.hasKey(key) != second.hasKey(key)) __builtin_trap();
        if (first.boolForKey(key) != second.boolForKey(key)) __builtin_trap();
        if (!same(first.doubleForKey(key), second.doubleForKey(key))) __builtin_trap();
        if (first.stringForKey(key) != second.stringForKey(key)) __builtin_trap();
        if (first.dataForKey(key) != second.dataForKey(key)) __builtin_trap();
    }
    // What the store saved itself is always readable: the second load moved nothing aside.
    if (corruptFiles(dir) != asideAfterFirst) __builtin_trap();
    return 0;
}
