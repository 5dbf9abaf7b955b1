#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sendhold {

// A small in-process broadcast. Observers register for a name; posting a name
// calls every observer of it synchronously, on the posting thread, in the order
// they registered. The sender is not filtered: any poster reaches every observer.
class NotificationCenter {
  public:
    using Observer = std::function<void()>;
    using Token = std::uint64_t;

    // The process's default center.
    static NotificationCenter& defaultCenter();

    Token addObserver(const std::string& name, Observer observer);
    void removeObserver(Token token);
    void post(const std::string& name);

  private:
    struct Entry {
        Token token;
        std::string name;
        Observer observer;
    };
    std::vector<Entry> entries_;
    Token nextToken_ = 1;
};

// Posted after each flip of the guard's switch; the tray icon redraws on it.
inline constexpr char kUpdateIconNotification[] = "UpdateIcon";

}  // namespace sendhold
