#pragma once

namespace sendhold {

// Starts the watch of the application in front that fits this desktop and
// feeds what it reports to the per-application rule. On a desktop where none
// can know it, rules do not apply and the guard follows its switch alone.
void startFrontTracking();

}  // namespace sendhold
