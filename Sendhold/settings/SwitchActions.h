#pragma once

namespace sendhold {

// The guard's switch: sets isEnabled of the shared KeyboardManager, then posts
// "UpdateIcon" on the default notification center (the icon reads the flag).
void enabledChanged(bool isEnabled);

// The launch-at-login switch: registers or removes the autostart entry. A
// failure prints one line "Failed to update launch at login: <description>" on
// standard output and answers false, so that the caller can show the real state.
bool launchAtLoginChanged(bool launchAtLogin);

}  // namespace sendhold
