#include <sys/stat.h>
#include <unistd.h>

#include <QFileInfo>
#include <QSignalSpy>
#include <QTest>

#include "KeyboardManager.h"
#include "Preferences.h"
#include "PreferencesSeam.h"
#include "SettingsTestSupport.h"

namespace sendhold {
namespace {

// Records the delay of every timer the guard arms; the timers never fire.
struct RecordingTimers final : TimerScheduler, Timer {
    double last = -1;
    void invalidate() override {}
    std::shared_ptr<Timer> scheduleOneShot(double seconds, std::function<void()>) override {
        last = seconds;
        return std::make_shared<RecordingTimers>();
    }
};

using PreferencesTest = FreshConfigHome;

QByteArray storedAs(const QByteArray& value) {
    return "[General]\nlongPressDuration=" + value + "\n";
}

TEST_F(PreferencesTest, NumbersReadAsTheyStandAnythingElseAsAbsent) {
    Preferences store(Preferences::defaultFilePath());
    PreferencesDurationReader guardSide(store);
    EXPECT_EQ(store.filePath(), configHome() + "/io.github.sendhold/Sendhold.conf");
    EXPECT_EQ(store.longPressDuration(), 0.4);
    EXPECT_FALSE(QFileInfo::exists(QFileInfo(store.filePath()).path()));  // reading creates nothing
    const struct {
        const char* text;
        double shown, guard;
    } cases[] = {{"2.5", 2.5, 2.5}, {"0", 0, 0},         {"abc", 0.4, 0}, {"nan", 0.4, 0},
                 {"-inf", 0.4, 0},  {"", 0.4, 0},        {"0,4", 0.4, 0}, {"1e999", 0.4, 0},
                 {"0.7", 0.7, 0.7}, {"\xff\0[[", 0.4, 0}};
    for (const auto& c : cases) {
        writeFile(store.filePath(), storedAs(c.text));
        store.reload();
        EXPECT_EQ(store.longPressDuration(), c.shown) << c.text;
        EXPECT_EQ(guardSide.storedLongPressDuration(), c.guard) << c.text;
    }
}

// The file is read only off the key path, regular files only, at most 64 KiB and
// never blocking; anything else keeps the last good number with one line.
TEST_F(PreferencesTest, HostileFilesKeepTheLastGoodNumber) {
    Preferences store(Preferences::defaultFilePath());
    const QString path = store.filePath();
    const QByteArray padded = storedAs("0.7") + ';' + QByteArray(64 * 1024 - 34, 'x') + '\n';
    ASSERT_EQ(padded.size(), 64 * 1024);
    const struct {
        const char* name;
        std::function<void()> make;
        double after;
    } cases[] = {
        {"fifo", [&] { ASSERT_EQ(::mkfifo(QFile::encodeName(path), 0600), 0); }, 0.6},
        {"device", [&] { ASSERT_EQ(::symlink("/dev/zero", QFile::encodeName(path)), 0); }, 0.6},
        {"folder", [&] { QDir().mkpath(path); }, 0.6},
        {"over 64 KiB", [&] { writeFile(path, padded + '\n'); }, 0.6},
        {"64 KiB", [&] { writeFile(path, padded); }, 0.7},
        {"symlink to a file",
         [&] {
             writeFile(path + ".real", storedAs("0.8"));
             ASSERT_EQ(::symlink(QFile::encodeName(path + ".real"), QFile::encodeName(path)), 0);
         },
         0.8},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QDir(path).removeRecursively();
        QFile::remove(path);
        writeFile(path, storedAs("0.6"));
        store.reload();
        ASSERT_TRUE(QFile::remove(path));
        c.make();
        const QByteArray said = capture([&] { store.reload(); }, STDERR_FILENO);
        EXPECT_EQ(store.longPressDuration(), c.after);
        EXPECT_EQ(said.startsWith("sendhold: cannot read ") && said.count('\n') == 1,
                  c.after == 0.6)
            << said.data();
    }
}

// When the file cannot be written the slider's number holds for the session, for
// the panel and the guard, until an edit on disk wins.
TEST_F(PreferencesTest, ASessionOnlyNumberLastsUntilTheFileChanges) {
    writeFile(configHome() + "/io.github.sendhold", "in the way");  // a file where the folder goes
    Preferences blocked(Preferences::defaultFilePath());
    QSignalSpy changes(&blocked, &Preferences::longPressDurationChanged);
    blocked.setLongPressDuration(0.9);
    EXPECT_EQ(PreferencesDurationReader(blocked).storedLongPressDuration(), 0.9);
    EXPECT_EQ(changes.count(), 1);
    EXPECT_EQ(readFile(configHome() + "/io.github.sendhold"), "in the way");

    const QString path = configHome() + "/other.conf";
    ASSERT_EQ(::mkfifo(QFile::encodeName(path), 0600), 0);
    Preferences store(path);
    store.setLongPressDuration(0.9);
    store.reload();
    EXPECT_EQ(store.longPressDuration(), 0.9);
    QFile::remove(path);
    replaceFile(path, storedAs("0.3"));
    store.reload();
    EXPECT_EQ(PreferencesDurationReader(store).storedLongPressDuration(), 0.3);
}

// Another program's edit reaches the shared guard's next press and the panel
// through the file watch: a file in a new folder, the store's own write, a
// same-size rewrite in place, an editor's save (rename over), a removal.
TEST_F(PreferencesTest, AnExternalEditReachesTheSharedGuardsNextPressAndThePanel) {
    installPreferencesSeam();
    auto timers = std::make_shared<RecordingTimers>();
    KeyboardManager::shared().bindSeams({.timers = timers});
    const auto armedDelay = [&] {
        KeyEvent down{kKeyCodeReturn, 0, 0}, up{kKeyCodeReturn, 0, 0};
        KeyboardManager::shared().handleEvent(kEventTypeKeyDown, &down);
        KeyboardManager::shared().handleEvent(kEventTypeKeyUp, &up);
        return timers->last;
    };
    Preferences& store = Preferences::standard();
    QSignalSpy changes(&store, &Preferences::longPressDurationChanged);
    const auto shows = [&](double value) {
        return QTest::qWaitFor([&] { return !changes.isEmpty() && changes.last().at(0) == value; });
    };
    EXPECT_EQ(armedDelay(), 0.4);
    writeFile(store.filePath(), storedAs("0.6"));
    EXPECT_TRUE(shows(0.6));
    EXPECT_EQ(armedDelay(), 0.6);
    store.setLongPressDuration(0.5);
    EXPECT_EQ(armedDelay(), 0.5);
    writeFile(store.filePath(), storedAs("0.8"));
    EXPECT_TRUE(shows(0.8));
    replaceFile(store.filePath(), storedAs("0.3"));
    EXPECT_TRUE(shows(0.3));
    EXPECT_EQ(armedDelay(), 0.3);
    QFile::remove(store.filePath());
    EXPECT_TRUE(shows(0.4));
    EXPECT_EQ(armedDelay(), 0.4);
}

}  // namespace
}  // namespace sendhold
