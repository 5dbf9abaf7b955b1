#include <gtest/gtest.h>
#include <signal.h>

#include <QCoreApplication>
#include <QTimer>
#include <cstdlib>

#include "platform/linux/ProcessSignals.h"
#include "platform/linux/QtMainLoopSeams.h"

using namespace sendhold;

TEST(PreciseTimers, AnInvalidatedTimerNeverRunsAndTheOtherRunsOnTime) {
    PreciseTimerScheduler timers;
    SteadyClock clock;
    const double start = clock.now();
    double ranAt = 0;
    bool cancelledRan = false;
    auto kept = timers.scheduleOneShot(0.05, [&] { ranAt = clock.now(); });
    auto cancelled = timers.scheduleOneShot(0.02, [&] { cancelledRan = true; });
    cancelled->invalidate();
    cancelled->invalidate();
    while (ranAt == 0 && clock.now() - start < 2) QCoreApplication::processEvents();
    EXPECT_FALSE(cancelledRan);
    EXPECT_GE(ranAt - start, 0.05);
    EXPECT_LT(ranAt - start, 0.2);
    kept->invalidate();  // after it ran: does nothing
}

TEST(ProcessSignals, SigtermEndsTheMainLoopAndTheStallHookTakesOnlySensibleLengths) {
    // Installed once per process: with the watchdog test's stall hook, whichever runs first.
    setenv("SENDHOLD_TEST_STALL_SECONDS", "0.9", 1);
    installProcessSignalHandlers();
    bool timedOut = false;
    QTimer::singleShot(0, [] { raise(SIGTERM); });
    QTimer::singleShot(5000, [&] { timedOut = true, QCoreApplication::quit(); });
    EXPECT_EQ(QCoreApplication::exec(), 0);
    EXPECT_FALSE(timedOut);

    setenv("SENDHOLD_TEST_STALL_SECONDS", "2.5", 1);
    EXPECT_EQ(requestedTestStallSeconds(), 2.5);
    for (const char* bad : {"", "abc", "-1", "0", "1e9", "nan", "3s"}) {
        setenv("SENDHOLD_TEST_STALL_SECONDS", bad, 1);
        EXPECT_FALSE(requestedTestStallSeconds().has_value()) << bad;
    }
    unsetenv("SENDHOLD_TEST_STALL_SECONDS");
    EXPECT_FALSE(requestedTestStallSeconds().has_value());
}
