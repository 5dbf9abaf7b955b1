#pragma once

#include "KeyboardManager/Seams.h"

namespace sendhold {

class Preferences;

// The guard's view of the stored duration: the stored number, 0 when none is
// stored (the guard turns 0 into its default).
class PreferencesDurationReader final : public DurationReader {
  public:
    explicit PreferencesDurationReader(Preferences& preferences) : preferences_(preferences) {}
    double storedLongPressDuration() override;

  private:
    Preferences& preferences_;
};

// Binds the shared KeyboardManager's stored-duration seam to Preferences::standard().
void installPreferencesSeam();

}  // namespace sendhold
