#pragma once

#include <linux/input.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <thread>
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

// Reads a node without pause on a thread of its own, as an application's
// event loop does, so that a long autorepeat cannot overflow the kernel's
// buffer for this reader while the test is busy elsewhere.
class ContinuousReader {
  public:
    explicit ContinuousReader(const std::string& node);
    ~ContinuousReader();
    ContinuousReader(const ContinuousReader&) = delete;
    ContinuousReader& operator=(const ContinuousReader&) = delete;

    // Every frame read so far.
    std::vector<Frame> frames() const;
    // Waits until the given key event has been read; false after the timeout.
    bool waitFor(int code, int value, milliseconds timeout) const;

  private:
    EventReader reader_;
    mutable std::mutex mutex_;
    std::vector<Frame> frames_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Key events (code, value) of the frames, without autorepeats (value 2).
std::vector<std::pair<int, int>> keyEvents(const std::vector<Frame>& frames);
// Readable form of key events for failure messages.
std::string describe(const std::vector<std::pair<int, int>>& keys);

}  // namespace vmtest
