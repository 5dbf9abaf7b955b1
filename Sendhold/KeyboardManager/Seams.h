#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "KeyEvent.h"

namespace sendhold {

// Wall-clock time in seconds.
class Clock {
  public:
    virtual ~Clock() = default;
    virtual double now() = 0;
};

// A scheduled one-shot action. invalidate() guarantees it never runs afterwards;
// invalidating a fired or already invalidated timer does nothing.
class Timer {
  public:
    virtual ~Timer() = default;
    virtual void invalidate() = 0;
};

// Schedules one-shot actions on the main loop.
class TimerScheduler {
  public:
    virtual ~TimerScheduler() = default;
    virtual std::shared_ptr<Timer> scheduleOneShot(double seconds,
                                                   std::function<void()> action) = 0;
};

// Makes and injects synthesized key events so that they pass the hook again.
class EventPoster {
  public:
    virtual ~EventPoster() = default;
    // Returns the new event, or nothing when it cannot be made.
    virtual std::optional<PostedKeyEvent> createKeyboardEvent(std::int64_t keyCode, bool keyDown) {
        return PostedKeyEvent{keyCode, keyDown, std::nullopt, 0};
    }
    virtual void post(const PostedKeyEvent& event) = 0;
};

// Whether the focused text input holds an unfinished input-method composition.
class CompositionProbe {
  public:
    virtual ~CompositionProbe() = default;
    virtual bool hasMarkedText() = 0;
};

// Reads the stored long-press duration in seconds; 0 when none is stored.
class DurationReader {
  public:
    virtual ~DurationReader() = default;
    virtual double storedLongPressDuration() = 0;
};

// The system-wide keyboard hook. create() acquires what it needs and answers
// false when it is refused; enable() starts delivering events on the main loop.
class EventTap {
  public:
    virtual ~EventTap() = default;
    virtual bool create() = 0;
    virtual void enable() = 0;
};

// Everything the guard needs from the outside world. Members left empty keep
// the guard's inert defaults.
struct KeyboardManagerSeams {
    std::shared_ptr<Clock> clock{};
    std::shared_ptr<TimerScheduler> timers{};
    std::shared_ptr<EventPoster> poster{};
    std::shared_ptr<CompositionProbe> probe{};
    std::shared_ptr<DurationReader> durations{};
    std::shared_ptr<EventTap> tap{};
};

}  // namespace sendhold
