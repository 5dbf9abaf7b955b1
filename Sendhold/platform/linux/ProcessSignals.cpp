#include "ProcessSignals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <cmath>
#include <cstdlib>
#include <utility>

namespace sendhold {
namespace {

// Written by the handlers, read on the main loop: a handler may do no more
// than write one byte.
int signalPipe[2] = {-1, -1};
bool testStallRequested = false;

constexpr unsigned kStopGraceSeconds = 1;

void forwardSignal(int signal) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] ssize_t written = ::write(signalPipe[1], &byte, 1);
    if (signal == SIGTERM || signal == SIGINT) ::alarm(kStopGraceSeconds);
    errno = saved;
}

// The main loop did not end in time: end as SIGTERM does by default. Keyboards
// and uinput devices that this process held are released by the kernel.
void stopNow(int) {
    ::signal(SIGTERM, SIG_DFL);
    ::raise(SIGTERM);
}

void handleWith(int signal) {
    struct sigaction action {};
    action.sa_handler = forwardSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(signal, &action, nullptr);
}

// Stops the process the way the signal would without a handler: a process group
// without a shell to continue it (orphaned) is then not stopped at all.
void stopAsByDefault(int signal) {
    ::signal(signal, SIG_DFL);
    ::raise(signal);
    handleWith(signal);
}

}  // namespace

int processSignalDescriptor() {
    return signalPipe[0];
}

std::optional<double> requestedTestStallSeconds() {
    const char* text = std::getenv("SENDHOLD_TEST_STALL_SECONDS");
    if (!text || !*text) return std::nullopt;
    char* end = nullptr;
    const double seconds = std::strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(seconds) || seconds <= 0 || seconds > 3600) {
        return std::nullopt;
    }
    return seconds;
}

bool takeTestStallRequest() {
    return std::exchange(testStallRequested, false);
}

void installProcessSignalHandlers(StopHooks stopHooks) {
    if (signalPipe[0] >= 0 || !QCoreApplication::instance()) return;
    if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    const bool stall = requestedTestStallSeconds().has_value();
    auto* notifier =
        new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [stall, stopHooks] {
        unsigned char byte = 0;
        while (::read(signalPipe[0], &byte, 1) == 1) {
            if (byte == SIGUSR1 && stall) {
                testStallRequested = true;
            } else if (byte == SIGTERM || byte == SIGINT) {
                QCoreApplication::quit();
            } else if (byte == SIGTSTP || byte == SIGTTIN || byte == SIGTTOU) {
                // Stopped, the watchdog cannot act either: the keyboards go
                // first, with the keys the twins hold released (Ctrl and Z are
                // still held down after a Ctrl+Z).
                if (stopHooks.beforeStop) stopHooks.beforeStop();
                stopAsByDefault(byte);
                if (stopHooks.afterContinue) stopHooks.afterContinue();
            }
        }
    });
    for (int signal : {SIGTERM, SIGINT, SIGTSTP, SIGTTIN, SIGTTOU}) handleWith(signal);
    ::signal(SIGALRM, stopNow);
    if (stall) handleWith(SIGUSR1);
}

}  // namespace sendhold
