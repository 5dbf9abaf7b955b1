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
    EXPECT_TRUE(isLaunchAtLoginOn());
    const QHash<QString, QString> entry = desktopEntryGroup(readFile(path));
    EXPECT_EQ(entry.value("Type"), "Application");
    EXPECT_EQ(entry.value("Name"), "Sendhold");
    EXPECT_EQ(entry.value("Exec"), QCoreApplication::applicationFilePath());
    EXPECT_EQ(entry.value("X-GNOME-Autostart-enabled"), "true");
    // Nothing but the entry is left in the folder (no temporary file).
    EXPECT_EQ(QDir(configHome() + "/autostart").entryList(QDir::Files | QDir::Hidden),
              QStringList{"io.github.sendhold.Sendhold.desktop"});

    ASSERT_TRUE(registerLaunchAtLogin(&error));  // again: rewritten, still on
    EXPECT_TRUE(isLaunchAtLoginOn());
    ASSERT_TRUE(unregisterLaunchAtLogin(&error));
    EXPECT_FALSE(QFileInfo::exists(path));
    EXPECT_FALSE(isLaunchAtLoginOn());
    EXPECT_TRUE(unregisterLaunchAtLogin(&error));  // already absent
}

TEST_F(LaunchAtLoginTest, DisabledEntriesReadAsOff) {
    const QString path = autostartFilePath();
    const QByteArray head = "[Desktop Entry]\nType=Application\nName=Sendhold\nExec=sendhold\n";
    writeFile(path, head);
    EXPECT_TRUE(isLaunchAtLoginOn());
    writeFile(path, head + "Hidden=true\n");
    EXPECT_FALSE(isLaunchAtLoginOn());
    writeFile(path, head + "Hidden=false\nX-GNOME-Autostart-enabled=true\n");
    EXPECT_TRUE(isLaunchAtLoginOn());
    writeFile(path, head + "X-GNOME-Autostart-enabled=false\n");
    EXPECT_FALSE(isLaunchAtLoginOn());
    // Keys of another group or commented out do not count.
    writeFile(path, head + "# Hidden=true\n[Desktop Action x]\nHidden=true\n");
    EXPECT_TRUE(isLaunchAtLoginOn());
    // A folder where the entry should be starts nothing.
    QFile::remove(path);
    QDir().mkpath(path);
    EXPECT_FALSE(isLaunchAtLoginOn());
}

TEST(DesktopEntry, ExecArgumentsAreQuotedAndEscapedAsTheFormatAsks) {
    EXPECT_EQ(execArgument("/usr/bin/sendhold"), "/usr/bin/sendhold");
    EXPECT_EQ(execArgument("/opt/my apps/sendhold"), "\"/opt/my apps/sendhold\"");
    EXPECT_EQ(execArgument("/a/$b\"c`d\\e"), "\"/a/\\$b\\\"c\\`d\\\\e\"");
    EXPECT_EQ(execArgument("/100%/sendhold"), "/100%%/sendhold");
    // In the file, every backslash of the quoted argument is doubled once more.
    EXPECT_EQ(escapeDesktopString(execArgument("/a b\\c")), "\"/a b\\\\\\\\c\"");
    EXPECT_EQ(escapeDesktopString("a\nb\tc"), "a\\nb\\tc");
    EXPECT_TRUE(
        autostartEntryText("/opt/my apps/sendhold").contains("\nExec=\"/opt/my apps/sendhold\"\n"));
}

TEST_F(LaunchAtLoginTest, AFailedChangePrintsOneLineWithTheReasonAndThePath) {
    // A plain file where the autostart folder should be: fails even for root.
    writeFile(configHome() + "/autostart", "in the way");
    bool ok = true;
    const QByteArray printed = captureStdout([&] { ok = launchAtLoginChanged(true); });
    EXPECT_FALSE(ok);
    EXPECT_TRUE(printed.startsWith("Failed to update launch at login: ")) << printed.data();
    EXPECT_TRUE(printed.contains(QFile::encodeName(configHome() + "/autostart")));
    EXPECT_TRUE(printed.contains("Not a directory"));
    EXPECT_EQ(printed.count('\n'), 1);
    EXPECT_TRUE(printed.endsWith('\n'));

    // Removing fails when a non-empty folder stands at the entry's path.
    QFile::remove(configHome() + "/autostart");
    QDir().mkpath(autostartFilePath() + "/inside");
    const QByteArray removal = captureStdout([&] { ok = launchAtLoginChanged(false); });
    EXPECT_FALSE(ok);
    EXPECT_TRUE(removal.startsWith("Failed to update launch at login: could not remove "));
    EXPECT_EQ(removal.count('\n'), 1);

    QDir(autostartFilePath()).removeRecursively();
    EXPECT_EQ(captureStdout([&] { ok = launchAtLoginChanged(true); }), "");
    EXPECT_TRUE(ok);
    EXPECT_TRUE(isLaunchAtLoginOn());
}

}  // namespace
}  // namespace sendhold
