#include <gtest/gtest.h>
#include <signal.h>
#include <systemd/sd-event.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QTimer>
#include <cstdlib>
#include <thread>

#include "platform/linux/ProcessSignals.h"
#include "platform/linux/QtMainLoop.h"
#include "platform/linux/SdEventMainLoop.h"
#include "platform/linux/SteadyClock.h"

using namespace sendhold;

template <typename Loop>
struct MainLoops : ::testing::Test {
    std::shared_ptr<Loop> loop = std::make_shared<Loop>();
    // Runs the loop until done() holds or `seconds` passed; returns done().
    bool spin(const std::function<bool()>& done, double seconds = 2) {
        bool over = false;
        auto limit = loop->startTimer(seconds, [&] { over = true; });
        while (!done() && !over) {
            if constexpr (std::is_same_v<Loop, SdEventMainLoop>)
                sd_event_run(loop->event(), -1);
            else
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        return done();
    }
};
using LoopKinds = ::testing::Types<SdEventMainLoop, QtMainLoop>;
TYPED_TEST_SUITE(MainLoops, LoopKinds);

TYPED_TEST(MainLoops, AWatchFiresPausesAndEndsInsideItsOwnCallback) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    int calls = 0;
    std::unique_ptr<MainLoop::Watch> watch = this->loop->watchReadable(fds[0], [&] {
        char byte;
        if (++calls < 3) return void(read(fds[0], &byte, 1));
        watch.reset();  // left unread: only a live watch would fire again
    });
    ASSERT_EQ(write(fds[1], "a", 1), 1);
    EXPECT_TRUE(this->spin([&] { return calls == 1; }));
    watch->setEnabled(false);
    ASSERT_EQ(write(fds[1], "b", 1), 1);
    EXPECT_FALSE(this->spin([&] { return calls > 1; }, 0.05));
    watch->setEnabled(true);
    EXPECT_TRUE(this->spin([&] { return calls == 2; }));
    ASSERT_EQ(write(fds[1], "c", 1), 1);
    EXPECT_FALSE(this->spin([&] { return calls > 3; }, 0.05));
    EXPECT_EQ(calls, 3);
    close(fds[0]), close(fds[1]);
}

TYPED_TEST(MainLoops, ATimerFiresOnceOnTimeAndNeverOnceDestroyed) {
    SteadyClock clock;
    const double start = clock.now();
    double ranAt = 0;
    int keptRuns = 0, selfRuns = 0;
    bool cancelledRan = false, farRan = false;
    auto kept = this->loop->startTimer(0.05, [&] { ranAt = clock.now(), ++keptRuns; });
    auto cancelled = this->loop->startTimer(0.02, [&] { cancelledRan = true; });
    // 2^32 ms + 301 ms: a wait past an int of milliseconds must not wrap.
    auto far = this->loop->startTimer(4294967.301, [&] { farRan = true; });
    std::unique_ptr<MainLoop::Source> self =
        this->loop->startTimer(0.01, [&] { ++selfRuns, self.reset(); });
    cancelled.reset();
    EXPECT_TRUE(this->spin([&] { return keptRuns > 0; }));
    EXPECT_FALSE(this->spin([&] { return keptRuns > 1; }, 0.1));
    EXPECT_FALSE(cancelledRan || farRan);
    EXPECT_EQ(selfRuns, 1);
    EXPECT_GE(ranAt - start, 0.05);
    EXPECT_LT(ranAt - start, 0.2);
}

TYPED_TEST(MainLoops, APostFromAnotherThreadRunsOnTheLoop) {
    std::thread::id ranOn;
    std::thread poster(
        [&] { this->loop->postFromAnyThread([&] { ranOn = std::this_thread::get_id(); }); });
    poster.join();
    EXPECT_TRUE(this->spin([&] { return ranOn == std::this_thread::get_id(); }));
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
