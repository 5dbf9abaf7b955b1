#include <gtest/gtest.h>

#include <QTest>

#include "app/AppDelegate.h"
#include "settings/SwitchActions.h"

using namespace sendhold;

// Records what start-up asked of the outside world. The tray probe answers
// later, from the main loop, as the real one does.
struct World {
    bool otherCopyRunning = false, trayHost = false;
    int trayChecks = 0;
    std::vector<std::string> calls;

    AppDelegate::LaunchSteps steps(std::vector<int> delays = {5, 5, 5}) {
        return {[this] { return calls.push_back("lock"), !otherCopyRunning; },
                [this] { calls.push_back("guard"); },
                [this](std::function<void(bool)> answer) {
                    ++trayChecks;
                    QTimer::singleShot(1, [this, answer] { answer(trayHost); });
                },
                std::move(delays), [this] { calls.push_back("terminate"); }};
    }
};

// A second copy leaves before touching anything.
TEST(AppDelegate, TheIconFollowsTheGuardAndComesWithALateTrayHostWithinABoundedWait) {
    World present, late, never, second;
    auto shown = std::make_unique<AppDelegate>(present.steps());
    AppDelegate waiting(late.steps({5, 5, 5, 5}));
    AppDelegate givingUp(never.steps({1, 2, 3}));
    AppDelegate leaving(second.steps());
    present.trayHost = second.otherCopyRunning = second.trayHost = true;
    for (AppDelegate* d : {shown.get(), &waiting, &givingUp, &leaving})
        d->applicationDidFinishLaunching();
    shown->applicationDidFinishLaunching();  // start-up runs once
    EXPECT_TRUE(waiting.isWaitingForTray());
    ASSERT_TRUE(QTest::qWaitFor([&] { return shown->statusItem != nullptr; }));
    EXPECT_EQ(present.calls, (std::vector<std::string>{"lock", "guard"}));
    EXPECT_EQ(shown->statusItem->toolTip(), QStringLiteral("On"));
    EXPECT_EQ(shown->statusItem->contextMenu(), shown->menus().contextMenu.get());
    enabledChanged(false);
    EXPECT_EQ(shown->statusItem->toolTip(), QStringLiteral("Off"));
    EXPECT_EQ(waiting.statusItem, nullptr);

    late.trayHost = true;
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return waiting.statusItem && !givingUp.isWaitingForTray(); }));
    EXPECT_EQ(waiting.statusItem->toolTip(), QStringLiteral("Off"));  // the flag as it is now
    EXPECT_FALSE(waiting.isWaitingForTray());
    EXPECT_EQ(never.trayChecks, 4);  // one at start, one after each delay, then quiet
    EXPECT_EQ(second.calls, (std::vector<std::string>{"lock", "terminate"}));
    EXPECT_EQ(second.trayChecks, 0);
    EXPECT_EQ(leaving.menus().panelMenu, nullptr);
    EXPECT_FALSE(givingUp.isWaitingForTray());
    EXPECT_EQ(givingUp.statusItem, nullptr);
    enabledChanged(true);
    EXPECT_EQ(shown->statusItem->toolTip(), QStringLiteral("On"));
    shown->quitApp();
    EXPECT_EQ(present.calls.back(), "terminate");
    shown.reset();
    enabledChanged(false);  // a released delegate observes no more
    enabledChanged(true);
}
