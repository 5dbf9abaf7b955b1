#include <QFileInfo>
#include <QSignalSpy>
#include <QTest>
#include <memory>
#include <vector>

#include "KeyboardManager.h"
#include "Preferences.h"
#include "PreferencesSeam.h"
#include "SettingsTestSupport.h"

namespace sendhold {
namespace {

// Records the delay of every timer the guard arms; the timers never fire.
class RecordingTimers final : public TimerScheduler {
  public:
    std::vector<double> delays;
    std::shared_ptr<Timer> scheduleOneShot(double seconds, std::function<void()>) override {
        delays.push_back(seconds);
        return std::make_shared<NeverFires>();
    }

  private:
    struct NeverFires final : Timer {
        void invalidate() override {}
    };
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
    EXPECT_EQ(guardSide.storedLongPressDuration(), 0.0);
    // Reading never creates the folder or the file.
    EXPECT_FALSE(QFileInfo::exists(QFileInfo(store.filePath()).path()));

    // Outside the slider's range the number still stands, for the panel and the guard.
    writeFile(store.filePath(), storedAs("2.5"));
    EXPECT_EQ(store.longPressDuration(), 2.5);
    EXPECT_EQ(guardSide.storedLongPressDuration(), 2.5);
    writeFile(store.filePath(), storedAs("0"));
    EXPECT_EQ(store.storedLongPressDuration(), 0.0);
    for (const char* value :
         {"abc", "nan", "NaN", "inf", "-inf", "", "0,4", "\"\"", "@Invalid()", "1e999"}) {
        SCOPED_TRACE(value);
        writeFile(store.filePath(), storedAs(value));
        EXPECT_FALSE(store.storedLongPressDuration());
        EXPECT_EQ(store.longPressDuration(), 0.4);
        EXPECT_EQ(guardSide.storedLongPressDuration(), 0.0);
    }
    static const char garbage[] = "\xff\xfe garbage \0 [[[";
    writeFile(store.filePath(), QByteArray(garbage, sizeof garbage - 1));
    EXPECT_EQ(store.longPressDuration(), 0.4);
}

// Another program's edit reaches the shared guard's next press at once and the panel through the
// file watch: a file created in a folder that did not exist yet, the store's own write, a rewrite
// in place with the same size (QSettings' own cache would still answer the old number), saves the
// way editors save (a new file renamed over the old one), a removal.
TEST_F(PreferencesTest, AnExternalEditReachesTheSharedGuardsNextPressAndThePanel) {
    installPreferencesSeam();
    auto timers = std::make_shared<RecordingTimers>();
    KeyboardManager::shared().bindSeams({.timers = timers});
    const auto armedDelay = [&] {  // the delay the guard arms for a fresh press of Return
        KeyEvent down{kKeyCodeReturn, 0, 0}, up{kKeyCodeReturn, 0, 0};
        KeyboardManager::shared().handleEvent(kEventTypeKeyDown, &down);
        KeyboardManager::shared().handleEvent(kEventTypeKeyUp, &up);
        return timers->delays.empty() ? -1 : timers->delays.back();
    };
    Preferences& store = Preferences::standard();
    QSignalSpy changes(&store, &Preferences::longPressDurationChanged);
    const auto shown = [&] { return changes.isEmpty() ? -1 : changes.last().at(0).toDouble(); };
    EXPECT_EQ(armedDelay(), 0.4);

    writeFile(store.filePath(), storedAs("0.6"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return shown() == 0.6; })) << shown();
    EXPECT_EQ(armedDelay(), 0.6);
    store.setLongPressDuration(0.5);
    EXPECT_EQ(armedDelay(), 0.5);
    writeFile(store.filePath(), storedAs("0.8"));
    EXPECT_EQ(armedDelay(), 0.8);
    replaceFile(store.filePath(), storedAs("0.3"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return shown() == 0.3; })) << shown();
    replaceFile(store.filePath(), storedAs("0.9"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return shown() == 0.9; })) << shown();
    writeFile(store.filePath(), storedAs("0.2"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return shown() == 0.2; })) << shown();
    QFile::remove(store.filePath());
    EXPECT_TRUE(QTest::qWaitFor([&] { return shown() == 0.4; })) << shown();
    EXPECT_EQ(armedDelay(), 0.4);
}

TEST_F(PreferencesTest, AnUnwritableStoreKeepsTheNumberForTheSession) {
    // A plain file where the store's folder should be: even root cannot write there.
    writeFile(configHome() + "/io.github.sendhold", "in the way");
    Preferences store(Preferences::defaultFilePath());
    QSignalSpy changes(&store, &Preferences::longPressDurationChanged);
    store.setLongPressDuration(0.9);
    EXPECT_EQ(store.longPressDuration(), 0.9);
    EXPECT_EQ(PreferencesDurationReader(store).storedLongPressDuration(), 0.9);
    EXPECT_EQ(changes.count(), 1);
    EXPECT_EQ(readFile(configHome() + "/io.github.sendhold"), "in the way");
}

}  // namespace
}  // namespace sendhold
