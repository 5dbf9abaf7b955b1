#pragma once

#include <functional>
#include <optional>

namespace sendhold {

// What the process does around a stop from the terminal (Ctrl+Z: SIGTSTP, or
// SIGTTIN/SIGTTOU): the keyboards must not stay taken while nothing serves them.
struct StopHooks {
    std::function<void()> beforeStop;
    std::function<void()> afterContinue;
};

// SIGTERM and SIGINT end the Qt main loop (QCoreApplication::quit), so that
// the keyboards are let go in order; a process still there a second later
// (something blocked the loop) ends as the signal would by default. SIGTSTP, SIGTTIN and SIGTTOU
// run beforeStop on the main loop, stop the process as the signal would by default, and run
// afterContinue once it continues. When SENDHOLD_TEST_STALL_SECONDS=<n> is set, SIGUSR1 arms the
// test stall (see takeTestStallRequest); without the variable SIGUSR1 keeps its default meaning.
// Needs a QCoreApplication; installs once.
void installProcessSignalHandlers(StopHooks stopHooks = {});

// Readable while a signal waits for the main loop; -1 before the handlers are
// installed. A wait outside the main loop watches it too, so as not to hold a
// SIGTERM back.
int processSignalDescriptor();

// The stall length SENDHOLD_TEST_STALL_SECONDS asks for; nothing when it is
// unset or not a positive number of seconds (at most an hour).
std::optional<double> requestedTestStallSeconds();

// True once after each SIGUSR1 under the stall hook: the real-kernel tests make
// the next key event the guard handles block the main loop, so that the
// watchdog acts in the middle of serving a keyboard.
bool takeTestStallRequest();

}  // namespace sendhold
