#pragma once

namespace sendhold {
// Binds the steady clock, timers and the evdev/uinput tap, all on Qt's main loop
// (QtMainLoop), into KeyboardManager::shared(). Needs a QCoreApplication. Call before
// startMonitoring(). Also makes SIGTERM and SIGINT end the main loop, lets the keyboards go when
// the application quits, and while a stop from the terminal (Ctrl+Z) lasts.
void installLinuxGuardSeams();
}  // namespace sendhold
