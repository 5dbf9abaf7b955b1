#pragma once

#include "KeyboardManager/Seams.h"

namespace sendhold {

// Seconds from a steady clock: a press is measured by the difference of two
// readings, which a wall-clock step (NTP, a manual change) must not distort.
class SteadyClock final : public Clock {
  public:
    double now() override;
};

// One-shot QTimers with Qt::PreciseTimer on the calling thread's loop (the
// coarse default may fire 5 % late, which a long-press threshold cannot afford).
class PreciseTimerScheduler final : public TimerScheduler {
  public:
    std::shared_ptr<Timer> scheduleOneShot(double seconds, std::function<void()> action) override;
};

}  // namespace sendhold
