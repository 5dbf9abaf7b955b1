#include "NotificationCenter.h"

#include <algorithm>

namespace sendhold {

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter* const center = new NotificationCenter();
    return *center;
}

NotificationCenter::Token NotificationCenter::addObserver(const std::string& name,
                                                          Observer observer) {
    const Token token = nextToken_++;
    entries_.push_back({token, name, std::move(observer)});
    return token;
}

void NotificationCenter::removeObserver(Token token) {
    std::erase_if(entries_, [token](const Entry& e) { return e.token == token; });
}

void NotificationCenter::post(const std::string& name) {
    // Copy first: an observer may add or remove observers while being called.
    std::vector<Observer> targets;
    for (const Entry& e : entries_)
        if (e.name == name) targets.push_back(e.observer);
    for (const Observer& observer : targets) observer();
}

}  // namespace sendhold
