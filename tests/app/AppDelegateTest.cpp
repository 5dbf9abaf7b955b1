#include <gtest/gtest.h>

#include <QDBusConnectionInterface>
#include <QProcess>
#include <QTest>

#include "ApplicationId.h"
#include "app/AppDelegate.h"
#include "settings/MenuSliderView.h"
#include "settings/SwitchActions.h"
#include "settings/SwitchToggle.h"

using namespace sendhold;

// Records what start-up asked of the outside world. The tray probe answers
// later, from the main loop, as the real one does.
struct World {
    bool otherCopyRunning = false, trayHost = false;
    int trayChecks = 0;
    std::vector<std::string> calls;

    AppDelegate::LaunchSteps steps(std::vector<int> delays = {5, 5, 5},
                                   std::function<QDBusConnection()> bus = {}) {
        return {[this] { return calls.push_back("lock"), !otherCopyRunning; },
                [this] { calls.push_back("guard"); },
                [this](std::function<void(bool)> answer) {
                    ++trayChecks;
                    QTimer::singleShot(1, [this, answer] { answer(trayHost); });
                },
                std::move(delays),
                [this] { calls.push_back("terminate"); },
                bus ? [bus](auto use) { use(bus()); }
                    : std::function<void(std::function<void(QDBusConnection)>)>()};
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

// Over a private session bus: each later copy has the running one show its one
// settings window, then leaves untouched.
TEST(AppDelegate, ASecondCopyShowsTheRunningCopysSettingsWindow) {
    QProcess daemon;
    daemon.start(QStringLiteral("dbus-daemon"), {"--session", "--nofork", "--print-address=1"});
    if (!daemon.waitForReadyRead(5000)) GTEST_SKIP() << "no dbus-daemon";
    const QString address = QString::fromUtf8(daemon.readLine()).trimmed();
    auto bus = [address](const char* name) {
        return [address, name] { return QDBusConnection::connectToBus(address, name); };
    };
    World first, second, third;
    second.otherCopyRunning = third.otherCopyRunning = true;
    AppDelegate running(first.steps({}, bus("first")));
    running.applicationDidFinishLaunching();
    EXPECT_EQ(running.panelWindow(), nullptr);  // nothing opens uninvited
    ASSERT_TRUE(QTest::qWaitFor([&] {
        return QDBusConnection(QStringLiteral("first"))
            .interface()
            ->isServiceRegistered(QString::fromLatin1(kApplicationId));
    }));
    QPointer<QWidget> window;
    for (World* later : {&second, &third}) {
        AppDelegate leaving(later->steps({}, bus(later == &second ? "second" : "third")));
        leaving.applicationDidFinishLaunching();
        ASSERT_TRUE(QTest::qWaitFor([&] { return later->calls.back() == "terminate"; }));
        EXPECT_EQ(later->calls, (std::vector<std::string>{"lock", "terminate"}));
        ASSERT_TRUE(running.panelWindow() && running.panelWindow()->isVisible());
        if (later == &second) window = running.panelWindow();
        EXPECT_EQ(running.panelWindow(), window.data());  // the same window, reused
        EXPECT_EQ(window->windowTitle(), "Sendhold");
        EXPECT_EQ(window->size(), QSize(270, 175));
        EXPECT_EQ(window->findChildren<MenuSliderView*>().size(), 1);
        window->hide();
    }
    // A flip in one panel shows in the other when that one opens.
    window->show();
    QTest::mouseClick(window->findChild<MenuSliderView*>()->enableSwitch(), Qt::LeftButton);
    running.menus().panelMenu->popup({10, 10});
    auto* inMenu = qobject_cast<MenuSliderView*>(running.menus().panel.data());
    EXPECT_TRUE(inMenu && !inMenu->enableSwitch()->isChecked());
    running.menus().panelMenu->hide();
    enabledChanged(true);
    daemon.kill();
    daemon.waitForFinished();
}
