#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <utility>

#include "KeyboardManager/Seams.h"

namespace sendhold {

// A clock that only moves when told to.
class VirtualClock final : public Clock {
  public:
    double now() override { return now_; }
    void set(double t) { now_ = t; }

  private:
    double now_ = 0;
};

// One-shot timers on a virtual clock. Timers fire in deadline order; timers due
// at the same moment fire in the order they were scheduled.
class VirtualTimerScheduler final : public TimerScheduler {
  public:
    explicit VirtualTimerScheduler(std::shared_ptr<VirtualClock> clock)
        : clock_(std::move(clock)) {}

    std::shared_ptr<Timer> scheduleOneShot(double seconds, std::function<void()> action) override;

    // Fires every timer due before `t` (or at `t` too, when `inclusive`), each
    // with the clock set to its deadline, then sets the clock to `t`.
    void advanceTo(double t, bool inclusive);

    std::size_t pendingCount() const { return pending_.size(); }

  private:
    class Entry;
    using Key = std::pair<double, std::uint64_t>;
    std::shared_ptr<VirtualClock> clock_;
    std::map<Key, std::function<void()>> pending_;
    std::uint64_t nextSequence_ = 0;
};

}  // namespace sendhold
