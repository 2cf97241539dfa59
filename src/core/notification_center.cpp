#include "core/notification_center.h"

#include <algorithm>
#include <memory>

namespace lumeno::core {

ObserverToken NotificationCenter::addObserver(std::string name, Observer observer) {
    std::lock_guard lock(mutex_);
    const ObserverToken token = nextToken_++;
    entries_.push_back({token, std::move(name), std::make_shared<Observer>(std::move(observer))});
    return token;
}

void NotificationCenter::removeObserver(ObserverToken token) {
    std::lock_guard lock(mutex_);
    std::erase_if(entries_, [token](const Entry& e) { return e.token == token; });
}

void NotificationCenter::post(const std::string& name, UserInfo userInfo) {
    std::vector<std::shared_ptr<Observer>> matching;
    {
        std::lock_guard lock(mutex_);
        for (const auto& e : entries_)
            if (e.name == name) matching.push_back(e.observer);
    }
    const Notification note{name, std::move(userInfo)};
    for (const auto& observer : matching) (*observer)(note);
}

}  // namespace lumeno::core
