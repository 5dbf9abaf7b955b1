#include <sys/stat.h>

#include <QSignalSpy>
#include <QTest>

#include "KeyboardManager/KeyboardManager.h"
#include "SettingsTestSupport.h"
#include "settings/Preferences.h"
#include "settings/PreferencesSeam.h"

using namespace sendhold;

using PreferencesTest = FreshConfigHome;

static QByteArray storedAs(const QByteArray& value) {
    return "[General]\nlongPressDuration=" + value + "\n";
}

TEST_F(PreferencesTest, NumbersReadAsTheyStandAnythingElseAsAbsent) {
    Preferences store(Preferences::defaultFilePath());
    PreferencesDurationReader guardSide(store);
    EXPECT_EQ(store.filePath(), configHome() + "/io.github.sendhold/Sendhold.conf");
    EXPECT_EQ(store.longPressDuration(), 0.4);
    EXPECT_FALSE(QFileInfo::exists(QFileInfo(store.filePath()).path()));  // reading creates nothing
    // The text stored, what the guard reads (0: none), what the panel shows.
    const std::tuple<const char*, double, double> cases[] = {
        {"2.5", 2.5, 2.5}, {"0", 0, 0},     {"abc", 0, 0.4},   {"nan", 0, 0.4},
        {"-inf", 0, 0.4},  {"0,4", 0, 0.4}, {"1e999", 0, 0.4}, {"\xff[[", 0, 0.4}};
    for (const auto& [text, guard, shown] : cases) {
        writeFile(store.filePath(), storedAs(text));
        store.reload();
        EXPECT_EQ(guardSide.storedLongPressDuration(), guard) << text;
        EXPECT_EQ(store.longPressDuration(), shown) << text;
    }
}

// Only a regular file of at most 64 KiB is read, never blocking; anything else
// keeps the last good number with one line. A number the slider could not
// store lasts until the file changes.
TEST_F(PreferencesTest, HostileFilesKeepTheLastGoodNumber) {
    Preferences store(Preferences::defaultFilePath());
    const QString path = store.filePath();
    const QByteArray name = QFile::encodeName(path);
    const QByteArray full = storedAs("0.7") + ';' + QByteArray(64 * 1024 - 34, 'x') + '\n';
    const std::tuple<const char*, std::function<void()>, double> cases[] = {
        {"fifo", [&] { ASSERT_EQ(::mkfifo(name, 0600), 0); }, 0.6},
        {"device", [&] { ASSERT_EQ(::symlink("/dev/zero", name), 0); }, 0.6},
        {"folder", [&] { QDir().mkpath(path); }, 0.6},
        {"over 64 KiB", [&] { writeFile(path, full + '\n'); }, 0.6},
        {"64 KiB", [&] { writeFile(path, full); }, 0.7},
        {"link", [&] { ASSERT_EQ(::symlink(name + "2", name), 0); }, 0.8}};
    writeFile(path + "2", storedAs("0.8"));  // the link's target
    for (const auto& [what, make, after] : cases) {
        QDir(path).removeRecursively();
        writeFile(path, storedAs("0.6"));
        store.reload();
        ASSERT_TRUE(QFile::remove(path));
        make();
        const QByteArray said = capture([&] { store.reload(); }, STDERR_FILENO);
        EXPECT_EQ(store.longPressDuration(), after) << what;
        EXPECT_EQ(said.startsWith("sendhold: cannot read ") && said.count('\n') == 1, after == 0.6)
            << what << said.data();
        QFile::remove(path);
    }
    ASSERT_EQ(::mkfifo(name, 0600), 0);
    capture([&] { store.setLongPressDuration(0.9); }, STDERR_FILENO);
    EXPECT_EQ(PreferencesDurationReader(store).storedLongPressDuration(), 0.9);
    QFile::remove(path);
    writeFile(path, storedAs("0.3"), true);
    store.reload();
    EXPECT_EQ(PreferencesDurationReader(store).storedLongPressDuration(), 0.3);
}

// Another program's edit reaches the shared guard's next press and the panel
// through the file watch: a file in a new folder, the store's own write, a
// same-size rewrite in place, an editor's save (rename over), a removal.
TEST_F(PreferencesTest, AnExternalEditReachesTheSharedGuardsNextPressAndThePanel) {
    struct RecordingTimers final : TimerScheduler, Timer {  // never fire
        double last = -1;
        void invalidate() override {}
        std::shared_ptr<Timer> scheduleOneShot(double seconds, std::function<void()>) override {
            return last = seconds, std::make_shared<RecordingTimers>();
        }
    };
    installPreferencesSeam();
    auto timers = std::make_shared<RecordingTimers>();
    KeyboardManager::shared().bindSeams({.timers = timers});
    Preferences& store = Preferences::standard();
    QSignalSpy changes(&store, &Preferences::longPressDurationChanged);
    const auto reaches = [&](double value) {
        const bool shown = QTest::qWaitFor(
            [&] { return (changes.isEmpty() ? 0.4 : changes.last().at(0).toDouble()) == value; });
        KeyEvent down{kKeyCodeReturn, 0, 0}, up{kKeyCodeReturn, 0, 0};
        KeyboardManager::shared().handleEvent(kEventTypeKeyDown, &down);
        KeyboardManager::shared().handleEvent(kEventTypeKeyUp, &up);
        return shown && timers->last == value;
    };
    const QString path = store.filePath();
    const std::pair<std::function<void()>, double> steps[] = {
        {[] {}, 0.4},
        {[&] { writeFile(path, storedAs("0.6")); }, 0.6},
        {[&] { store.setLongPressDuration(0.5); }, 0.5},
        {[&] { writeFile(path, storedAs("0.8")); }, 0.8},
        {[&] { writeFile(path, storedAs("0.3"), true); }, 0.3},
        {[&] { QFile::remove(path); }, 0.4}};
    for (const auto& [step, value] : steps) {
        step();
        EXPECT_TRUE(reaches(value)) << value;
    }
}
