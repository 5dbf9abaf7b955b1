#include <QCoreApplication>

#include "SettingsTestSupport.h"
#include "settings/DesktopEntry.h"
#include "settings/LaunchAtLogin.h"
#include "settings/SwitchActions.h"

using namespace sendhold;

using LaunchAtLoginTest = FreshConfigHome;

TEST_F(LaunchAtLoginTest, RegisterWritesAnEnabledEntryUnregisterRemovesIt) {
    const QString path = configHome() + "/autostart/io.github.sendhold.Sendhold.desktop";
    EXPECT_EQ(autostartFilePath(), path);
    QString error;
    ASSERT_TRUE(registerLaunchAtLogin(&error) && registerLaunchAtLogin(&error))
        << error.toStdString();
    EXPECT_TRUE(isLaunchAtLoginOn());
    EXPECT_EQ(desktopEntryGroup(readFile(path)).value("Exec"),
              QCoreApplication::applicationFilePath());
    // Nothing but the entry is left in the folder (no temporary file).
    EXPECT_EQ(QDir(configHome() + "/autostart").entryList(QDir::Files | QDir::Hidden).size(), 1);
    ASSERT_TRUE(unregisterLaunchAtLogin(&error) && unregisterLaunchAtLogin(&error));
    EXPECT_FALSE(isLaunchAtLoginOn());

    // Disabled entries read as off; keys of another group or commented out do not count.
    const QByteArray head = "[Desktop Entry]\nType=Application\nName=Sendhold\nExec=sendhold\n";
    for (const auto& [tail, on] : {std::pair<QByteArray, bool>{"Hidden=false\n", true},
                                   {"Hidden=true\n", false},
                                   {"X-GNOME-Autostart-enabled=false\n", false},
                                   {"# Hidden=true\n[Desktop Action x]\nHidden=true\n", true}}) {
        writeFile(path, head + tail);
        EXPECT_EQ(isLaunchAtLoginOn(), on) << tail.data();
    }
    // A folder in the entry's place starts nothing and cannot be removed: one line says so.
    QFile::remove(path);
    QDir().mkpath(path + "/inside");
    EXPECT_FALSE(isLaunchAtLoginOn());
    const QByteArray printed = capture([] { EXPECT_FALSE(launchAtLoginChanged(false)); });
    EXPECT_TRUE(printed.startsWith("Failed to update launch at login: could not remove "));
    EXPECT_EQ(printed.count('\n'), 1);
}

TEST(DesktopEntry, ExecArgumentsAreQuotedAndEscapedAsTheFormatAsks) {
    EXPECT_EQ(execArgument("/usr/bin/sendhold"), "/usr/bin/sendhold");
    EXPECT_EQ(execArgument("/a/$b\"c`d\\e f"), "\"/a/\\$b\\\"c\\`d\\\\e f\"");
    EXPECT_EQ(execArgument("/100%/sendhold"), "/100%%/sendhold");
    // In the file, every backslash of the quoted argument is doubled once more.
    EXPECT_TRUE(autostartEntryText("/opt/my a\\b/sendhold")
                    .contains("\nExec=\"/opt/my a\\\\\\\\b/sendhold\"\n"));
}
