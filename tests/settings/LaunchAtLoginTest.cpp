#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include "DesktopEntry.h"
#include "LaunchAtLogin.h"
#include "SettingsTestSupport.h"
#include "SwitchActions.h"

namespace sendhold {
namespace {

using LaunchAtLoginTest = FreshConfigHome;

TEST_F(LaunchAtLoginTest, RegisterWritesAnEnabledEntryAndUnregisterRemovesIt) {
    const QString path = configHome() + "/autostart/io.github.sendhold.Sendhold.desktop";
    EXPECT_EQ(autostartFilePath(), path);
    EXPECT_FALSE(isLaunchAtLoginOn());

    QString error;
    ASSERT_TRUE(registerLaunchAtLogin(&error)) << error.toStdString();
    ASSERT_TRUE(registerLaunchAtLogin(&error));  // again: rewritten, still on
    EXPECT_TRUE(isLaunchAtLoginOn());
    const QHash<QString, QString> entry = desktopEntryGroup(readFile(path));
    EXPECT_EQ(entry.value("Exec"), QCoreApplication::applicationFilePath());
    EXPECT_EQ(entry.value("X-GNOME-Autostart-enabled"), "true");
    // Nothing but the entry is left in the folder (no temporary file).
    EXPECT_EQ(QDir(configHome() + "/autostart").entryList(QDir::Files | QDir::Hidden),
              QStringList{"io.github.sendhold.Sendhold.desktop"});

    ASSERT_TRUE(unregisterLaunchAtLogin(&error));
    EXPECT_FALSE(QFileInfo::exists(path));
    EXPECT_FALSE(isLaunchAtLoginOn());
    EXPECT_TRUE(unregisterLaunchAtLogin(&error));  // already absent
}

TEST_F(LaunchAtLoginTest, DisabledOrUnusableEntriesReadAsOff) {
    const QString path = autostartFilePath();
    const QByteArray head = "[Desktop Entry]\nType=Application\nName=Sendhold\nExec=sendhold\n";
    // Keys of another group or commented out do not count.
    for (const auto& [tail, on] : {std::pair<QByteArray, bool>{"Hidden=false\n", true},
                                   {"Hidden=true\n", false},
                                   {"X-GNOME-Autostart-enabled=false\n", false},
                                   {"# Hidden=true\n[Desktop Action x]\nHidden=true\n", true}}) {
        writeFile(path, head + tail);
        EXPECT_EQ(isLaunchAtLoginOn(), on) << tail.data();
    }

    // A folder where the entry should be starts nothing, and cannot be removed: one line says so.
    QFile::remove(path);
    QDir().mkpath(path + "/inside");
    EXPECT_FALSE(isLaunchAtLoginOn());
    bool ok = true;
    const QByteArray printed = capture([&] { ok = launchAtLoginChanged(false); });
    EXPECT_FALSE(ok);
    EXPECT_TRUE(printed.startsWith("Failed to update launch at login: could not remove "))
        << printed.data();
    EXPECT_EQ(printed.count('\n'), 1);
}

TEST(DesktopEntry, ExecArgumentsAreQuotedAndEscapedAsTheFormatAsks) {
    EXPECT_EQ(execArgument("/usr/bin/sendhold"), "/usr/bin/sendhold");
    EXPECT_EQ(execArgument("/a/$b\"c`d\\e f"), "\"/a/\\$b\\\"c\\`d\\\\e f\"");
    EXPECT_EQ(execArgument("/100%/sendhold"), "/100%%/sendhold");
    // In the file, every backslash of the quoted argument is doubled once more.
    EXPECT_EQ(escapeDesktopString(execArgument("/a b\\c")), "\"/a b\\\\\\\\c\"");
    EXPECT_TRUE(
        autostartEntryText("/opt/my apps/sendhold").contains("\nExec=\"/opt/my apps/sendhold\"\n"));
}

}  // namespace
}  // namespace sendhold
