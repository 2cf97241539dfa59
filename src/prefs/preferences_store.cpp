#include "prefs/preferences_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "core/atomic_file.h"
#include "core/base64.h"
#include "prefs/keys.h"

namespace lumeno::prefs {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// File form: a JSON object, one member per key. Booleans, numbers and strings are plain JSON;
// data is {"data": "<base64>"}; a double that JSON cannot hold is {"double": "nan"|"inf"|"-inf"}.
json encode(const Value& value) {
    return std::visit(
        [](const auto& v) -> json {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, Data>) {
                return json{{"data", core::base64Encode(std::string_view(
                                         reinterpret_cast<const char*>(v.bytes->data()), v.bytes->size()))}};
            } else if constexpr (std::is_same_v<T, double>) {
                if (std::isnan(v)) return json{{"double", "nan"}};
                if (std::isinf(v)) return json{{"double", v > 0 ? "inf" : "-inf"}};
                return v;
            } else {
                return v;
            }
        },
        value);
}

std::optional<Value> decode(const json& j) {
    if (j.is_boolean()) return Value(j.get<bool>());
    if (j.is_number()) return Value(j.get<double>());
    if (j.is_string()) return Value(j.get<std::string>());
    if (j.is_object() && j.size() == 1) {
        if (auto it = j.find("data"); it != j.end() && it->is_string()) {
            if (auto bytes = core::base64Decode(it->get<std::string>())) return Value(Data{core::makeBytes(*bytes)});
        }
        if (auto it = j.find("double"); it != j.end() && it->is_string()) {
            const auto text = it->get<std::string>();
            if (text == "nan") return Value(std::nan(""));
            if (text == "inf") return Value(HUGE_VAL);
            if (text == "-inf") return Value(-HUGE_VAL);
        }
    }
    return std::nullopt;
}

const char* kindName(ValueKind kind) {
    switch (kind) {
        case ValueKind::boolean: return "a boolean";
        case ValueKind::number: return "a number";
        case ValueKind::string: return "a string";
        case ValueKind::data: return "data";
    }
    return "a value";
}

ValueKind kindOf(const Value& value) {
    static constexpr ValueKind kinds[] = {ValueKind::boolean, ValueKind::number, ValueKind::string, ValueKind::data};
    return kinds[value.index()];
}

const KeyInfo* keyInfo(const std::string& key) {
    for (const KeyInfo& info : kKeyTable)
        if (key == info.name) return &info;
    return nullptr;
}

// Cuts `text` after `max` characters (UTF-8 code points), never inside one; false when it fits.
bool cutToCharacters(std::string& text, std::size_t max) {
    std::size_t characters = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;  // inside a character
        if (++characters > max) {
            text.resize(i);
            return true;
        }
    }
    return false;
}

// A timestamp becomes an integer in the page's logo address: it must be one a clock can show.
bool inRange(const std::string& key, double value) {
    if (key != key::kLogoTimestamp) return true;
    return std::isfinite(value) && std::fabs(value) < 1e12;
}

std::string timestampForFileName() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &tm);
    return text;
}

}  // namespace

std::unique_ptr<ConfigFolderLock> ConfigFolderLock::acquire(const fs::path& folder, std::string& error) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    const fs::path path = folder / "lumeno.lock";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "cannot use the config folder " + folder.string() + ": " + std::strerror(errno);
        return nullptr;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = errno == EWOULDBLOCK
                    ? "another Lumeno is already running with the config folder " + folder.string()
                    : "cannot lock the config folder " + folder.string() + ": " + std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    // Holding the folder, no save of ours can be under way: what a killed save left is stale.
    core::removeStaleTemporaries(folder / kSettingsFileName);
    return std::unique_ptr<ConfigFolderLock>(new ConfigFolderLock(fd));
}

ConfigFolderLock::~ConfigFolderLock() { ::close(fd_); }

fs::path defaultConfigDir() {
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg && fs::path(xdg).is_absolute())
        return fs::path(xdg) / "lumeno";
    if (const char* home = std::getenv("HOME"); home && *home) return fs::path(home) / ".config" / "lumeno";
    return fs::current_path() / ".lumeno";
}

PreferencesStore::PreferencesStore(core::Logger& log) : log_(log), values_(std::make_shared<const Map>()) {}

PreferencesStore::PreferencesStore(fs::path file, core::Logger& log, std::chrono::milliseconds saveDelay)
    : log_(log), file_(std::move(file)), saveDelay_(saveDelay), values_(std::make_shared<const Map>()) {
    load();
    writer_ = std::thread([this] { writerLoop(); });
}

PreferencesStore::~PreferencesStore() {
    if (!writer_.joinable()) return;
    {
        std::lock_guard lock(pendingMutex_);
        stopping_ = true;
    }
    pendingChanged_.notify_all();
    writer_.join();
}

const Value* PreferencesStore::find(const Map& map, const std::string& key) const {
    auto it = map.find(key);
    return it == map.end() ? nullptr : &it->second;
}

bool PreferencesStore::boolForKey(const std::string& key) const {
    const auto map = snapshot();
    const Value* v = find(*map, key);
    if (!v) return false;
    if (const bool* b = std::get_if<bool>(v)) return *b;
    if (const double* d = std::get_if<double>(v)) return *d != 0.0;
    return false;
}

double PreferencesStore::doubleForKey(const std::string& key) const {
    const auto map = snapshot();
    const Value* v = find(*map, key);
    if (!v) return 0.0;
    if (const double* d = std::get_if<double>(v)) return *d;
    if (const bool* b = std::get_if<bool>(v)) return *b ? 1.0 : 0.0;
    return 0.0;
}

std::optional<std::string> PreferencesStore::stringForKey(const std::string& key) const {
    const auto map = snapshot();
    const Value* v = find(*map, key);
    if (const std::string* s = v ? std::get_if<std::string>(v) : nullptr) return *s;
    return std::nullopt;
}

std::optional<std::string> PreferencesStore::dataForKey(const std::string& key) const {
    if (const auto bytes = sharedDataForKey(key)) return std::string(bytes->begin(), bytes->end());
    return std::nullopt;
}

core::SharedBytes PreferencesStore::sharedDataForKey(const std::string& key) const {
    const auto map = snapshot();
    const Value* v = find(*map, key);
    if (const Data* d = v ? std::get_if<Data>(v) : nullptr) return d->bytes;
    return nullptr;
}

bool PreferencesStore::hasKey(const std::string& key) const { return find(*snapshot(), key) != nullptr; }

void PreferencesStore::setBool(const std::string& key, bool value) { update(key, Value(value)); }
void PreferencesStore::setDouble(const std::string& key, double value) {
    if (!inRange(key, value)) {
        log_.print("❌ Ignoring an out-of-range value for \"", key, "\": ", core::formatDecimal(value));
        return;
    }
    update(key, Value(value));
}

void PreferencesStore::setString(const std::string& key, std::optional<std::string> value) {
    if (value) limitLength(key, *value, "");
    update(key, value ? std::optional<Value>(Value(std::move(*value))) : std::nullopt);
}

void PreferencesStore::limitLength(const std::string& key, std::string& text, const std::string& where) {
    const KeyInfo* info = keyInfo(key);
    if (!info || info->maxCharacters == 0 || !cutToCharacters(text, info->maxCharacters)) return;
    log_.print("❌ ", where, "\"", key, "\" is longer than ", info->maxCharacters, " characters; keeping its first ",
               info->maxCharacters);
}

void PreferencesStore::setData(const std::string& key, std::optional<std::string> bytes) {
    update(key, bytes ? std::optional<Value>(Value(Data{core::makeBytes(*bytes)})) : std::nullopt);
}

void PreferencesStore::remove(const std::string& key) { update(key, std::nullopt); }

void PreferencesStore::update(const std::string& key, std::optional<Value> value) {
    {
        std::lock_guard lock(writeMutex_);
        auto next = std::make_shared<Map>(*snapshot());
        if (value)
            (*next)[key] = std::move(*value);
        else if (next->erase(key) == 0)
            return;
        publish(std::move(next));
    }
    if (file_.empty()) return;
    {
        std::lock_guard lock(pendingMutex_);
        dirty_ = true;
    }
    pendingChanged_.notify_all();
}

bool PreferencesStore::synchronize() {
    if (file_.empty()) return true;
    {
        std::lock_guard lock(pendingMutex_);
        dirty_ = false;
    }
    return save();
}

void PreferencesStore::writerLoop() {
    std::unique_lock lock(pendingMutex_);
    for (;;) {
        pendingChanged_.wait(lock, [this] { return dirty_ || stopping_; });
        if (!stopping_) {
            // Let a burst of writes settle into one save.
            pendingChanged_.wait_for(lock, saveDelay_, [this] { return stopping_; });
        }
        const bool mustSave = dirty_;
        dirty_ = false;
        const bool stop = stopping_;
        lock.unlock();
        if (mustSave) save();
        lock.lock();
        if (stop && !dirty_) return;
    }
}

bool PreferencesStore::save() {
    std::lock_guard lock(saveMutex_);
    const auto map = snapshot();  // taken under saveMutex_: the newest state wins the race to disk
    json document = json::object();
    for (const auto& [key, value] : *map) document[key] = encode(value);
    // Text that is not UTF-8 (a device name, a --set value) is stored with U+FFFD in its place:
    // JSON cannot hold it, and refusing it would end the process here.
    const std::string text = document.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
    // Private to the operator, and written through a link to wherever the operator keeps it.
    const std::error_code error = core::writeFileAtomically(file_, text, {.mode = 0600, .createFolders = true});
    const bool ok = !error;
    if (!ok && !lastSaveFailed_) log_.print("❌ Could not save settings to ", file_.string(), ": ", error.message());
    if (ok && lastSaveFailed_) log_.print("✅ Settings saved to ", file_.string(), " again");
    lastSaveFailed_ = !ok;
    return ok;
}

void PreferencesStore::load() {
    std::ifstream in(file_, std::ios::binary);
    if (!in) return;  // first launch: no keys
    std::stringstream buffer;
    buffer << in.rdbuf();
    const std::string text = buffer.str();

    std::string problem;
    auto map = std::make_shared<Map>();
    const json document = json::parse(text, nullptr, false);
    if (document.is_discarded() || !document.is_object()) {
        problem = document.is_discarded() ? "not valid JSON" : "not a JSON object";
    } else {
        // One bad value costs that key alone, not the operator's whole configuration.
        for (const auto& [key, entry] : document.items()) {
            auto value = decode(entry);
            const KeyInfo* info = keyInfo(key);
            if (!value || (info && kindOf(*value) != info->kind)) {
                log_.print("❌ Settings file ", file_.string(), ": ignoring \"", key, "\", which is not ",
                           info ? kindName(info->kind) : "a readable value");
                continue;
            }
            if (const double* number = std::get_if<double>(&*value); number && !inRange(key, *number)) {
                log_.print("❌ Settings file ", file_.string(), ": ignoring \"", key, "\", which is out of range");
                continue;
            }
            if (auto* string = std::get_if<std::string>(&*value))
                limitLength(key, *string, "Settings file " + file_.string() + ": ");
            (*map)[key] = std::move(*value);
        }
    }
    if (problem.empty()) {
        publish(std::move(map));
        return;
    }
    // Keep the unreadable file for the operator rather than overwriting it with defaults. A link
    // stays where it is: the file it names is what is moved aside, and what the next save writes.
    std::error_code ec;
    fs::path unreadable = fs::canonical(file_, ec);
    if (ec) unreadable = file_;
    fs::path aside = unreadable.string() + ".corrupt-" + timestampForFileName();
    for (int n = 2; fs::exists(aside); ++n)
        aside = unreadable.string() + ".corrupt-" + timestampForFileName() + "-" + std::to_string(n);
    fs::rename(unreadable, aside, ec);
    if (ec) {
        // Saving now would destroy the only copy: run from memory and leave the file alone.
        log_.print("❌ Settings file ", file_.string(), " is ", problem, " and could not be moved aside (",
                   ec.message(), "); starting with empty settings that will not be saved");
        file_.clear();
    } else
        log_.print("❌ Settings file ", file_.string(), " is ", problem, "; moved aside as ", aside.string(),
                   " and starting with empty settings");
}

}  // namespace lumeno::prefs
