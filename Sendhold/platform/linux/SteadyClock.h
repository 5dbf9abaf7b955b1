#pragma once

#include "KeyboardManager/Seams.h"

namespace sendhold {

// Seconds from a steady clock: a press is measured by the difference of two
// readings, which a wall-clock step (NTP, a manual change) must not distort.
class SteadyClock final : public Clock {
  public:
    double now() override;
};

}  // namespace sendhold
