#include <gtest/gtest.h>

#include <QTest>

#include "AppDelegate.h"
#include "KeyboardManager.h"
#include "SwitchActions.h"

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
const std::vector<std::string> kLockAndGuard{"lock", "guard"};

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
    EXPECT_EQ(delegate.menus().panelMenu, nullptr);
    // Not observing: a switch flip reaches nothing of this copy.
    enabledChanged(false);
    EXPECT_EQ(delegate.statusItem, nullptr);
}

TEST_F(AppDelegateTest, StartsTheGuardThenShowsTheIconInTheGuardsStateUntilReleased) {
    World world;
    world.trayHost = true;
    auto delegate = std::make_unique<AppDelegate>(world.steps());
    delegate->applicationDidFinishLaunching();
    delegate->applicationDidFinishLaunching();  // start-up runs once
    EXPECT_EQ(world.calls, kLockAndGuard);
    ASSERT_NE(delegate->statusItem, nullptr);
    EXPECT_EQ(delegate->statusItem->toolTip(), QStringLiteral("On"));
    EXPECT_FALSE(delegate->statusItem->icon().isNull());
    EXPECT_EQ(delegate->statusItem->contextMenu(), delegate->menus().contextMenu.get());
    EXPECT_FALSE(delegate->isWaitingForTray());

    enabledChanged(false);
    EXPECT_EQ(delegate->statusItem->toolTip(), QStringLiteral("Off"));
    enabledChanged(true);
    EXPECT_EQ(delegate->statusItem->toolTip(), QStringLiteral("On"));
    delegate->quitApp();
    EXPECT_EQ(world.calls.back(), "terminate");
    delegate.reset();
    enabledChanged(false);  // a released delegate observes no more: no use of freed memory
}

TEST_F(AppDelegateTest, TheIconComesWithALateTrayHostAndTheWaitForOneIsBounded) {
    World late, never;
    AppDelegate waiting(late.steps({5, 5, 5, 5}));
    AppDelegate givingUp(never.steps({1, 2, 3}));
    waiting.applicationDidFinishLaunching();
    givingUp.applicationDidFinishLaunching();
    EXPECT_EQ(waiting.statusItem, nullptr);
    EXPECT_NE(waiting.menus().panelMenu, nullptr);
    EXPECT_TRUE(waiting.isWaitingForTray());
    enabledChanged(false);  // no icon yet: changes nothing, breaks nothing

    late.trayHost = true;
    QTest::qWait(80);
    ASSERT_NE(waiting.statusItem, nullptr);
    EXPECT_EQ(waiting.statusItem->toolTip(), QStringLiteral("Off"));  // the flag as it is now
    EXPECT_EQ(waiting.statusItem->contextMenu(), waiting.menus().contextMenu.get());
    EXPECT_FALSE(waiting.isWaitingForTray());
    // One check at start and one after each delay; then quiet, with the guard running regardless.
    EXPECT_EQ(never.trayChecks, 4);
    EXPECT_FALSE(givingUp.isWaitingForTray());
    EXPECT_EQ(givingUp.statusItem, nullptr);
    EXPECT_EQ(never.calls, kLockAndGuard);
}

}  // namespace
}  // namespace sendhold
