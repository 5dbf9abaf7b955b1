#include <QDir>
#include <QLabel>
#include <QLocale>
#include <QSlider>
#include <QTest>

#include "KeyboardManager.h"
#include "LaunchAtLogin.h"
#include "Localization.h"
#include "MenuSliderView.h"
#include "NotificationCenter.h"
#include "Preferences.h"
#include "SettingsTestSupport.h"
#include "SwitchToggle.h"

namespace sendhold {
namespace {

// A shown panel on a fresh store, under a locale that writes numbers with a
// comma: the panel's numbers keep their point whatever the locale.
class MenuSliderViewTest : public FreshConfigHome {
  protected:
    void SetUp() override {
        FreshConfigHome::SetUp();
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        KeyboardManager::shared().isEnabled = true;
        store = std::make_unique<Preferences>(Preferences::defaultFilePath());
        panel = std::make_unique<MenuSliderView>(*store);
        panel->resize(panel->sizeHint());
        panel->show();
    }
    void TearDown() override {
        setPreferredLanguagesSource([] { return QStringList{QStringLiteral("en")}; });
        KeyboardManager::shared().isEnabled = true;
        QLocale::setDefault(QLocale::c());
    }
    QString storedText() { return QString::fromUtf8(readFile(store->filePath())); }
    QString current() { return panel->currentSettingLabel()->text(); }

    std::unique_ptr<Preferences> store;
    std::unique_ptr<MenuSliderView> panel;
};

TEST_F(MenuSliderViewTest, StartsFromTheStoreTheGuardAndTheAutostartEntry) {
    EXPECT_EQ(panel->durationSlider()->value(), 4);
    EXPECT_EQ(current(), "Current: 0.4 s");
    EXPECT_EQ(panel->enabledLabel()->text(), "Sendhold: On");
    EXPECT_EQ(panel->launchAtLoginLabel()->text(), "Launch at Login (Off)");
    EXPECT_EQ(panel->slowLabel()->text(), "Slow (1.0s)");
    EXPECT_FALSE(QFile::exists(store->filePath()));  // showing stores nothing
    EXPECT_TRUE(panel->grab().save(QStringLiteral(SENDHOLD_PICTURE_DIR "/panel-en.png")));

    QString error;
    ASSERT_TRUE(registerLaunchAtLogin(&error));
    KeyboardManager::shared().isEnabled = false;
    setPreferredLanguagesSource([] { return QStringList{QStringLiteral("ja-JP")}; });
    MenuSliderView other(*store);
    EXPECT_FALSE(other.enableSwitch()->isChecked());
    EXPECT_EQ(other.launchAtLoginLabel()->text(), "Mac起動時に自動開始 (オン)");
    EXPECT_EQ(other.currentSettingLabel()->text(), "現在の設定: 0.4 秒");
    other.resize(other.sizeHint());
    EXPECT_TRUE(other.grab().save(QStringLiteral(SENDHOLD_PICTURE_DIR "/panel-ja.png")));
}

TEST_F(MenuSliderViewTest, EverySliderPositionIsStoredAtOnceAndTheRowFollowsTheStore) {
    QSlider* slider = panel->durationSlider();
    slider->setSliderDown(true);  // dragging: each position passed is stored
    for (int position = 10; position >= 2; --position) {
        slider->setSliderPosition(position);
        EXPECT_EQ(store->longPressDuration(), position / 10.0);
        EXPECT_EQ(current(), QStringLiteral("Current: %1 s").arg(position / 10.0, 0, 'f', 1));
    }
    slider->setSliderDown(false);
    EXPECT_TRUE(storedText().contains("longPressDuration=0.2\n"));

    replaceFile(store->filePath(), "[General]\nlongPressDuration=2.5\n");
    EXPECT_TRUE(QTest::qWaitFor([&] { return current() == "Current: 2.5 s"; }));
    EXPECT_EQ(slider->value(), 10);
    EXPECT_TRUE(storedText().contains("=2.5"));  // a value the slider cannot hold stays
    writeFile(store->filePath(), "[General]\nlongPressDuration=nonsense\n");
    EXPECT_TRUE(QTest::qWaitFor([&] { return current() == "Current: 0.4 s"; }));
    EXPECT_EQ(slider->value(), 4);
    MenuSliderView other(*store);  // another panel on the same store moves this one
    other.durationSlider()->setValue(9);
    EXPECT_EQ(current(), "Current: 0.9 s");
}

TEST_F(MenuSliderViewTest, TheSwitchesFlipTheGuardAndTheAutostartEntry) {
    std::vector<bool> seen;
    const auto token = NotificationCenter::defaultCenter().addObserver(
        kUpdateIconNotification, [&] { seen.push_back(KeyboardManager::shared().isEnabled); });
    QTest::mouseClick(panel->enableSwitch(), Qt::LeftButton);
    EXPECT_EQ(panel->enabledLabel()->text(), "Sendhold: Off");
    QTest::mouseClick(panel->enableSwitch(), Qt::LeftButton);
    EXPECT_EQ(seen, (std::vector<bool>{false, true}));
    NotificationCenter::defaultCenter().removeObserver(token);

    QTest::mouseClick(panel->launchAtLoginSwitch(), Qt::LeftButton);
    EXPECT_TRUE(isLaunchAtLoginOn());
    EXPECT_EQ(panel->launchAtLoginLabel()->text(), "Launch at Login (On)");
    QTest::mouseClick(panel->launchAtLoginSwitch(), Qt::LeftButton);
    EXPECT_FALSE(isLaunchAtLoginOn());
    // A file where the autostart folder goes: one line with the path and the
    // reason, and the switch goes back to off.
    const QString folder = configHome() + "/autostart";
    QDir(folder).removeRecursively();
    writeFile(folder, "in the way");
    const QByteArray printed =
        capture([&] { QTest::mouseClick(panel->launchAtLoginSwitch(), Qt::LeftButton); });
    EXPECT_TRUE(printed.startsWith("Failed to update launch at login: ")) << printed.data();
    EXPECT_TRUE(printed.contains(QFile::encodeName(folder)) && printed.contains("Not a directory"));
    EXPECT_EQ(printed.count('\n'), 1);
    EXPECT_FALSE(panel->launchAtLoginSwitch()->isChecked());
}

}  // namespace
}  // namespace sendhold
