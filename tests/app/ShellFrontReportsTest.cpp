#include <gtest/gtest.h>

#include <QDBusConnectionInterface>
#include <QDBusPendingCall>
#include <QProcess>
#include <QTest>

#include "app/ShellFrontReports.h"

using namespace sendhold;

namespace {

// A private session bus; each name() is one more process on it.
struct PrivateBus {
    QProcess daemon;
    QString address;
    PrivateBus() {
        daemon.start(QStringLiteral("dbus-daemon"), {"--session", "--nofork", "--print-address=1"});
        if (daemon.waitForReadyRead(5000)) address = QString::fromUtf8(daemon.readLine()).trimmed();
    }
    ~PrivateBus() { daemon.kill(), daemon.waitForFinished(); }
    QDBusConnection operator()(const char* name) {
        return QDBusConnection::connectToBus(address, QString::fromLatin1(name));
    }
};

// Reports from `from` to the app on `to` and waits for the answer.
void report(QDBusConnection from, QDBusConnection to, const QString& id) {
    auto call = QDBusMessage::createMethodCall(to.baseService(), kShellFrontPath,
                                               kShellFrontInterface, QStringLiteral("Report"));
    QDBusPendingCall pending = from.asyncCall(call << id);
    ASSERT_TRUE(QTest::qWaitFor([&] { return pending.isFinished(); }));
}

// KWin's scripting interface, as far as Sendhold uses it.
class FakeScripting : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.kwin.Scripting")
  public:
    QStringList calls;
  public slots:
    bool unloadScript(const QString& name) { return calls << "unload " + name, false; }
    int loadScript(const QString& path, const QString& name) { return calls << path + name, 0; }
    void start() { calls << "start"; }
};

}  // namespace

// Only the shells' own processes are believed; the one that reported last
// leaving makes the front unknown. KWin is asked to run the script afresh, again
// when it comes back.
TEST(ShellFrontReports, TakesReportsFromTheShellsOwnersOnlyUntilTheyLeaveAndLoadsKWinsScript) {
    PrivateBus bus;
    if (bus.address.isEmpty()) GTEST_SKIP() << "no dbus-daemon";
    QDBusConnection app = bus("front-app"), gnome = bus("front-gnome"), kwin = bus("front-kwin"),
                    stranger = bus("front-stranger");
    ASSERT_TRUE(gnome.registerService(QStringLiteral("org.gnome.Shell")));
    std::vector<std::string> seen;
    ShellFrontReports reports(app, [&](const std::string& id) { seen.push_back(id); });
    reports.publish();
    report(gnome, app, "org.example.Chat");  // before Sendhold knows who owns the name
    ASSERT_TRUE(QTest::qWaitFor([&] { return !seen.empty(); }));
    report(stranger, app, "org.example.Evil");
    report(gnome, app, "\x01tab\tnew\nline");  // cleaned by the consumer
    ASSERT_TRUE(kwin.registerService(QStringLiteral("org.kde.KWin")));
    report(kwin, app, "org.kde.dolphin");
    kwin.unregisterService(QStringLiteral("org.kde.KWin"));
    report(kwin, app, "org.example.Late");
    gnome.unregisterService(QStringLiteral("org.gnome.Shell"));
    report(gnome, app, "org.example.Gone");
    EXPECT_EQ(seen, (std::vector<std::string>{"org.example.Chat", "\x01tab\tnew\nline",
                                              "org.kde.dolphin", ""}));

    FakeScripting scripting;
    kwin.registerObject(QStringLiteral("/Scripting"), &scripting, QDBusConnection::ExportAllSlots);
    ASSERT_TRUE(kwin.registerService(QStringLiteral("org.kde.KWin")));
    report(kwin, app, "");  // Sendhold sees KWin there before it loads the script
    loadKWinScript(app, QStringLiteral("/front.js "));
    ASSERT_TRUE(QTest::qWaitFor([&] { return scripting.calls.size() == 3; }));
    kwin.unregisterService(QStringLiteral("org.kde.KWin"));  // a KWin that restarts
    report(kwin, app, "");                                   // once Sendhold has seen it go
    ASSERT_TRUE(kwin.registerService(QStringLiteral("org.kde.KWin")));
    ASSERT_TRUE(QTest::qWaitFor([&] { return scripting.calls.size() == 6; }));
    const QStringList round{"unload sendhold-front", "/front.js sendhold-front", "start"};
    EXPECT_EQ(scripting.calls, round + round);
}

#include "ShellFrontReportsTest.moc"
