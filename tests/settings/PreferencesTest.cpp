#include <QDir>
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

// The delay the guard arms for a fresh press of Return.
double armedDelay(KeyboardManager& guard, RecordingTimers& timers) {
    KeyEvent down{kKeyCodeReturn, 0, 0};
    KeyEvent up{kKeyCodeReturn, 0, 0};
    guard.handleEvent(kEventTypeKeyDown, &down);
    guard.handleEvent(kEventTypeKeyUp, &up);
    return timers.delays.empty() ? -1 : timers.delays.back();
}

using PreferencesTest = FreshConfigHome;

TEST_F(PreferencesTest, NothingStoredMeansDefaultForThePanelAndZeroForTheGuard) {
    Preferences store(Preferences::defaultFilePath());
    EXPECT_EQ(store.filePath(), configHome() + "/io.github.sendhold/Sendhold.conf");
    EXPECT_EQ(store.longPressDuration(), 0.4);
    EXPECT_FALSE(store.storedLongPressDuration());
    EXPECT_EQ(PreferencesDurationReader(store).storedLongPressDuration(), 0.0);
    // Reading never creates the folder or the file.
    EXPECT_FALSE(QFileInfo::exists(QFileInfo(store.filePath()).path()));
}

TEST_F(PreferencesTest, StoredNumbersOutsideTheSliderAreShownAsTheyStand) {
    Preferences store(Preferences::defaultFilePath());
    writeFile(store.filePath(), "[General]\nlongPressDuration=2.5\n");
    EXPECT_EQ(store.longPressDuration(), 2.5);
    EXPECT_EQ(PreferencesDurationReader(store).storedLongPressDuration(), 2.5);
    // A stored 0: the panel shows 0.0, the guard falls back to its default.
    writeFile(store.filePath(), "[General]\nlongPressDuration=0\n");
    EXPECT_EQ(store.longPressDuration(), 0.0);
    EXPECT_EQ(longPressThreshold(PreferencesDurationReader(store).storedLongPressDuration()), 0.4);
}

TEST_F(PreferencesTest, ValuesThatAreNotFiniteNumbersReadAsAbsent) {
    Preferences store(Preferences::defaultFilePath());
    for (const char* value :
         {"abc", "nan", "NaN", "inf", "-inf", "", "0,4", "\"\"", "@Invalid()", "1e999"}) {
        SCOPED_TRACE(value);
        writeFile(store.filePath(), QByteArray("[General]\nlongPressDuration=") + value + "\n");
        EXPECT_FALSE(store.storedLongPressDuration());
        EXPECT_EQ(store.longPressDuration(), 0.4);
        EXPECT_EQ(PreferencesDurationReader(store).storedLongPressDuration(), 0.0);
    }
    static const char garbage[] = "\xff\xfe garbage \0 [[[";
    writeFile(store.filePath(), QByteArray(garbage, sizeof garbage - 1));
    EXPECT_EQ(store.longPressDuration(), 0.4);
}

TEST_F(PreferencesTest, AnExternalEditReachesTheGuardsNextPressAndThePanel) {
    Preferences store(Preferences::defaultFilePath());
    auto timers = std::make_shared<RecordingTimers>();
    KeyboardManager guard(
        {.timers = timers, .durations = std::make_shared<PreferencesDurationReader>(store)});
    EXPECT_EQ(armedDelay(guard, *timers), 0.4);

    QSignalSpy changes(&store, &Preferences::longPressDurationChanged);
    store.setLongPressDuration(0.5);
    EXPECT_EQ(armedDelay(guard, *timers), 0.5);
    // Rewritten in place at once with the same size: QSettings' own cache would
    // still answer 0.5 here.
    writeFile(store.filePath(), "[General]\nlongPressDuration=0.8\n");
    EXPECT_EQ(armedDelay(guard, *timers), 0.8);

    // Saved the way editors save (a new file renamed over the old one), twice:
    // the panel hears of both.
    changes.clear();
    replaceFile(store.filePath(), "[General]\nlongPressDuration=0.3\n");
    QTRY_VERIFY(!changes.isEmpty() && changes.last().at(0).toDouble() == 0.3);
    replaceFile(store.filePath(), "[General]\nlongPressDuration=0.9\n");
    QTRY_VERIFY(changes.last().at(0).toDouble() == 0.9);
    writeFile(store.filePath(), "[General]\nlongPressDuration=0.2\n");
    QTRY_VERIFY(changes.last().at(0).toDouble() == 0.2);
    QFile::remove(store.filePath());
    QTRY_VERIFY(changes.last().at(0).toDouble() == 0.4);
}

TEST_F(PreferencesTest, AFileCreatedLaterInAFolderThatDidNotExistIsSeen) {
    Preferences store(Preferences::defaultFilePath());
    QSignalSpy changes(&store, &Preferences::longPressDurationChanged);
    writeFile(store.filePath(), "[General]\nlongPressDuration=0.6\n");
    QTRY_COMPARE(changes.count(), 1);
    EXPECT_EQ(changes.at(0).at(0).toDouble(), 0.6);
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

TEST_F(PreferencesTest, TheSharedGuardReadsTheStandardStore) {
    installPreferencesSeam();
    auto timers = std::make_shared<RecordingTimers>();
    KeyboardManager::shared().bindSeams({.timers = timers});
    writeFile(Preferences::standard().filePath(), "[General]\nlongPressDuration=0.6\n");
    EXPECT_EQ(armedDelay(KeyboardManager::shared(), *timers), 0.6);
    QFile::remove(Preferences::standard().filePath());
    EXPECT_EQ(armedDelay(KeyboardManager::shared(), *timers), 0.4);
}

}  // namespace
}  // namespace sendhold
