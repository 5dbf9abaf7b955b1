#pragma once

#include <QString>

namespace sendhold {

// The panel's composed lines, looked up afresh on every call.
// "Sendhold: " + state word.
QString enabledLabelText(bool isEnabled);
// current_setting + " " + the duration with one decimal and a point + " " + sec.
QString currentSettingText(double duration);
// launch_at_login + " (" + state word + ")".
QString launchAtLoginLabelText(bool launchAtLogin);

}  // namespace sendhold
