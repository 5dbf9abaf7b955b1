#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>

#include "AppDelegate.h"
#include "KeyboardManager.h"
#include "NotificationCenter.h"

namespace sendhold {
namespace {

// Records what start-up asked of the outside world, in order.
struct World {
    bool otherCopyRunning = false;
    bool trayHost = false;
    int trayChecks = 0;
    std::vector<std::string> calls;

    AppDelegate::LaunchSteps steps(std::vector<int> delays = {5, 5, 5}) {
        return {[this] {
                    calls.push_back("lock");
                    return !otherCopyRunning;
                },
                [this] { calls.push_back("guard"); },
                [this] {
                    ++trayChecks;
                    return trayHost;
                },
                std::move(delays), [this] { calls.push_back("terminate"); }};
    }
};

void processEventsFor(int ms) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

class AppDelegateTest : public testing::Test {
  protected:
    void SetUp() override { KeyboardManager::shared().isEnabled = true; }
    void TearDown() override { KeyboardManager::shared().isEnabled = true; }
};

TEST_F(AppDelegateTest, SecondCopyLeavesBeforeTouchingAnything) {
    World world;
    world.otherCopyRunning = true;
    world.trayHost = true;
    AppDelegate delegate(world.steps());
    delegate.applicationDidFinishLaunching();
    EXPECT_EQ(world.calls, (std::vector<std::string>{"lock", "terminate"}));
    EXPECT_EQ(world.trayChecks, 0);
    EXPECT_EQ(delegate.statusItem, nullptr);
    EXPECT_EQ(delegate.menus().panelMenu, nullptr);
    // Not observing: a posting reaches nothing of this copy.
    NotificationCenter::defaultCenter().post(kUpdateIconNotification);
    EXPECT_EQ(delegate.statusItem, nullptr);
}

TEST_F(AppDelegateTest, StartsTheGuardThenShowsTheIconInTheGuardsState) {
    World world;
    world.trayHost = true;
    AppDelegate delegate(world.steps());
    delegate.applicationDidFinishLaunching();
    delegate.applicationDidFinishLaunching();  // start-up runs once
    EXPECT_EQ(world.calls, (std::vector<std::string>{"lock", "guard"}));
    ASSERT_NE(delegate.statusItem, nullptr);
    EXPECT_EQ(delegate.statusItem->toolTip(), QStringLiteral("On"));
    EXPECT_FALSE(delegate.statusItem->icon().isNull());
    EXPECT_EQ(delegate.statusItem->contextMenu(), delegate.menus().contextMenu.get());
    EXPECT_FALSE(delegate.isWaitingForTray());

    // The switch's action: flag first, then the notification.
    KeyboardManager::shared().isEnabled = false;
    NotificationCenter::defaultCenter().post(kUpdateIconNotification);
    EXPECT_EQ(delegate.statusItem->toolTip(), QStringLiteral("Off"));
    KeyboardManager::shared().isEnabled = true;
    NotificationCenter::defaultCenter().post(kUpdateIconNotification);
    EXPECT_EQ(delegate.statusItem->toolTip(), QStringLiteral("On"));

    delegate.quitApp();
    EXPECT_EQ(world.calls.back(), "terminate");
}

TEST_F(AppDelegateTest, IconAppearsWhenATrayHostArrivesLater) {
    World world;
    AppDelegate delegate(world.steps({5, 5, 5, 5}));
    delegate.applicationDidFinishLaunching();
    EXPECT_EQ(delegate.statusItem, nullptr);
    EXPECT_NE(delegate.menus().panelMenu, nullptr);
    EXPECT_TRUE(delegate.isWaitingForTray());
    // No icon yet: a switch flip changes nothing and breaks nothing.
    KeyboardManager::shared().isEnabled = false;
    NotificationCenter::defaultCenter().post(kUpdateIconNotification);

    world.trayHost = true;
    processEventsFor(50);
    ASSERT_NE(delegate.statusItem, nullptr);
    // Drawn from the flag as it is now.
    EXPECT_EQ(delegate.statusItem->toolTip(), QStringLiteral("Off"));
    EXPECT_EQ(delegate.statusItem->contextMenu(), delegate.menus().contextMenu.get());
    EXPECT_FALSE(delegate.isWaitingForTray());
}

TEST_F(AppDelegateTest, WaitForATrayHostIsBounded) {
    World world;
    AppDelegate delegate(world.steps({1, 2, 3}));
    delegate.applicationDidFinishLaunching();
    processEventsFor(80);
    // One check at start and one after each delay; then the program goes quiet.
    EXPECT_EQ(world.trayChecks, 4);
    EXPECT_FALSE(delegate.isWaitingForTray());
    EXPECT_EQ(delegate.statusItem, nullptr);
    // The guard runs regardless.
    EXPECT_EQ(world.calls, (std::vector<std::string>{"lock", "guard"}));
}

TEST_F(AppDelegateTest, ReleasedDelegateStopsObserving) {
    World world;
    {
        AppDelegate delegate(world.steps());
        delegate.applicationDidFinishLaunching();
    }
    NotificationCenter::defaultCenter().post(
        kUpdateIconNotification);  // must not touch freed memory
}

}  // namespace
}  // namespace sendhold
