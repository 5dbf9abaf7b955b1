#include "PreferencesSeam.h"

#include <memory>

#include "KeyboardManager/KeyboardManager.h"
#include "Preferences.h"

namespace sendhold {

double PreferencesDurationReader::storedLongPressDuration() {
    return preferences_.storedLongPressDuration().value_or(0.0);
}

void installPreferencesSeam() {
    KeyboardManager::shared().bindSeams(
        {.durations = std::make_shared<PreferencesDurationReader>(Preferences::standard())});
}

}  // namespace sendhold
