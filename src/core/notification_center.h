#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace lumeno::core {

// A user-info value keeps its type, so an observer can tell a count sent as text from an integer.
using InfoValue = std::variant<std::int64_t, double, bool, std::string>;
using UserInfo = std::map<std::string, InfoValue>;

struct Notification {
    std::string name;
    UserInfo userInfo;

    template <typename T>
    std::optional<T> get(const std::string& key) const {
        auto it = userInfo.find(key);
        if (it == userInfo.end()) return std::nullopt;
        if (const T* value = std::get_if<T>(&it->second)) return *value;
        return std::nullopt;
    }
};

using ObserverToken = std::uint64_t;

// Named notifications with typed user info. Observers run synchronously on the posting thread;
// the system's own posters post from the main queue, so observers run on the main thread.
// Thread: any (internally locked; callbacks run without the lock held).
class NotificationCenter {
public:
    using Observer = std::function<void(const Notification&)>;

    ObserverToken addObserver(std::string name, Observer observer);
    void removeObserver(ObserverToken token);
    void post(const std::string& name, UserInfo userInfo = {});

private:
    struct Entry {
        ObserverToken token;
        std::string name;
        std::shared_ptr<Observer> observer;
    };
    std::mutex mutex_;
    std::vector<Entry> entries_;
    ObserverToken nextToken_ = 1;
};

}  // namespace lumeno::core
