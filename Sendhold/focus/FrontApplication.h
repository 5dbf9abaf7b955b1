#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace sendhold::focus {

// Longest application id taken, in bytes. Real ids (X11 WM_CLASS classes,
// Wayland app_ids, reverse-DNS names) are far shorter.
inline constexpr std::size_t kMaxApplicationIdBytes = 128;

// An application id as reported by another process (a window's WM_CLASS, a
// compositor, a Shell extension), made safe to show and to store: surrounding
// white space trimmed; empty when the id is empty, too long, not valid UTF-8,
// or holds control characters or a comma (the separator of the stored list).
std::string cleanApplicationId(std::string_view raw);

// Told the id of the application in front each time it changes; "" when none
// is known (no window in front, or one without a usable id).
using FrontSink = std::function<void(const std::string& applicationId)>;

// A running source of front-application reports (X11, wlroots compositors,
// desktop-shell plug-ins). Destroying it stops the reports.
class FrontWatch {
  public:
    virtual ~FrontWatch() = default;
};

// What Sendhold knows of the application in front. Reports about Sendhold's
// own windows (its settings window comes to the front when opened) are not
// taken: the application in front stays the one the person was using.
class FrontApplication {
  public:
    explicit FrontApplication(std::vector<std::string> ownIds, FrontSink changed = {});

    // Takes a raw report; calls `changed` when the cleaned id differs.
    void report(std::string_view rawId);
    const std::string& current() const { return current_; }

  private:
    std::vector<std::string> ownIds_;
    FrontSink changed_;
    std::string current_;
};

}  // namespace sendhold::focus
