#pragma once

#include <linux/input.h>

#include <chrono>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace vmtest {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// One frame as an application reads it: the events before a SYN_REPORT.
struct Frame {
    std::vector<input_event> events;
    Clock::time_point readAt;

    // The frame's EV_KEY events as (code, value).
    std::vector<std::pair<int, int>> keys() const;
    // The MSC_SCAN value in the frame, or -1.
    int scanCode() const;
    bool onlyRepeats() const;
};

// Reads one evdev node the way an application does: opened read-only, never
// grabbed, frames split at SYN_REPORT.
class EventReader {
  public:
    explicit EventReader(const std::string& node);
    ~EventReader();
    EventReader(const EventReader&) = delete;
    EventReader& operator=(const EventReader&) = delete;

    const std::string& node() const { return node_; }
    // Reads the next frame; false when none came within the timeout or the
    // device went away.
    bool next(Frame& frame, milliseconds timeout);
    // Every frame arriving within the given time.
    std::vector<Frame> collect(milliseconds duration);
    // Frames until the given key event arrives (included), or the timeout.
    std::vector<Frame> until(int code, int value, milliseconds timeout);
    // The keys the device reports held (EVIOCGKEY), whatever was read.
    std::set<int> keysDown() const;
    // True once a read said the device is gone (ENODEV).
    bool gone() const { return gone_; }
    // Whether this reader could take the device exclusively, i.e. nobody
    // else holds it; gives it back at once.
    bool canGrab() const;

  private:
    std::string node_;
    int fd_ = -1;
    bool gone_ = false;
    std::vector<input_event> partial_;
};

// Key events (code, value) of the frames, without autorepeats (value 2).
std::vector<std::pair<int, int>> keyEvents(const std::vector<Frame>& frames);
// Readable form of key events for failure messages.
std::string describe(const std::vector<std::pair<int, int>>& keys);

}  // namespace vmtest
