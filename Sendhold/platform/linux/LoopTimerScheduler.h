#pragma once

#include <memory>

#include "KeyboardManager/Seams.h"
#include "MainLoop.h"

namespace sendhold {

// The guard's one-shot timers on a main loop. A timer's handle owns it:
// invalidating or dropping the handle stops it for good.
class LoopTimerScheduler final : public TimerScheduler {
  public:
    explicit LoopTimerScheduler(std::shared_ptr<MainLoop> loop);
    std::shared_ptr<Timer> scheduleOneShot(double seconds, std::function<void()> action) override;

  private:
    std::shared_ptr<MainLoop> loop_;
};

}  // namespace sendhold
