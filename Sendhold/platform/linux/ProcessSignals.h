#pragma once

#include <optional>

namespace sendhold {

// SIGTERM and SIGINT end the Qt main loop (QCoreApplication::quit), so that
// the keyboards are let go in order. When SENDHOLD_TEST_STALL_SECONDS=<n> is
// set, SIGUSR1 blocks the main loop for n seconds, on the main thread: the
// real-kernel tests use it to make the watchdog act. Without the variable
// SIGUSR1 keeps its default meaning. Needs a QCoreApplication; installs once.
void installProcessSignalHandlers();

// The stall length SENDHOLD_TEST_STALL_SECONDS asks for; nothing when it is
// unset or not a positive number of seconds (at most an hour).
std::optional<double> requestedTestStallSeconds();

}  // namespace sendhold
