#include "ProcessSignals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <thread>

namespace sendhold {
namespace {

// Written by the handlers, read on the main loop: a handler may do no more
// than write one byte.
int signalPipe[2] = {-1, -1};

void forwardSignal(int signal) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

void handleWith(int signal) {
    struct sigaction action {};
    action.sa_handler = forwardSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(signal, &action, nullptr);
}

}  // namespace

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

void installProcessSignalHandlers() {
    if (signalPipe[0] >= 0 || !QCoreApplication::instance()) return;
    if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    const std::optional<double> stall = requestedTestStallSeconds();
    auto* notifier =
        new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [stall] {
        unsigned char byte = 0;
        while (::read(signalPipe[0], &byte, 1) == 1) {
            if (byte == SIGUSR1 && stall) {
                // Blocks the main loop on purpose: the test hook for the watchdog.
                std::this_thread::sleep_for(std::chrono::duration<double>(*stall));
            } else if (byte == SIGTERM || byte == SIGINT) {
                QCoreApplication::quit();
            }
        }
    });
    handleWith(SIGTERM);
    handleWith(SIGINT);
    if (stall) handleWith(SIGUSR1);
}

}  // namespace sendhold
