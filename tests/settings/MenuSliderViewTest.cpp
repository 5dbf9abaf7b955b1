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
#include "PanelTexts.h"
#include "Preferences.h"
#include "SettingsTestSupport.h"
#include "SwitchToggle.h"

namespace sendhold {
namespace {

// A shown panel on a fresh store, under a locale that writes numbers with a comma: the panel's
// numbers keep their point whatever the locale.
class MenuSliderViewTest : public FreshConfigHome {
  protected:
    void SetUp() override {
        FreshConfigHome::SetUp();
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        KeyboardManager::shared().isEnabled = true;
        store = std::make_unique<Preferences>(Preferences::defaultFilePath());
    }
    void TearDown() override {
        setPreferredLanguagesSource([] { return QStringList{QStringLiteral("en")}; });
        KeyboardManager::shared().isEnabled = true;
        QLocale::setDefault(QLocale::c());
    }
    std::unique_ptr<MenuSliderView> shownPanel() {
        auto panel = std::make_unique<MenuSliderView>(*store);
        panel->resize(panel->sizeHint());
        panel->show();
        return panel;
    }
    QString storedText() { return QString::fromUtf8(readFile(store->filePath())); }
    QString current(const MenuSliderView& panel) { return panel.currentSettingLabel()->text(); }

    std::unique_ptr<Preferences> store;
};

TEST_F(MenuSliderViewTest, StartsFromTheStoreTheGuardAndTheAutostartEntryInEnglish) {
    auto panel = shownPanel();
    EXPECT_EQ(panel->sizeHint(), QSize(270, 175));
    EXPECT_EQ(panel->durationSlider()->value(), 4);
    EXPECT_EQ(current(*panel), "Current: 0.4 s");
    EXPECT_TRUE(panel->enableSwitch()->isChecked());
    EXPECT_EQ(panel->enabledLabel()->text(), "Sendhold: On");
    EXPECT_FALSE(panel->launchAtLoginSwitch()->isChecked());
    EXPECT_EQ(panel->launchAtLoginLabel()->text(), "Launch at Login (Off)");
    EXPECT_EQ(panel->titleLabel()->text(), "Long Press Sensitivity");
    EXPECT_EQ(panel->fastLabel()->text(), "Fast (0.2s)");
    EXPECT_EQ(panel->slowLabel()->text(), "Slow (1.0s)");
    EXPECT_EQ(currentSettingText(0.1 + 0.2), "Current: 0.3 s");
    // Showing the panel stores nothing.
    EXPECT_FALSE(QFile::exists(store->filePath()));
    EXPECT_TRUE(panel->grab().save(QStringLiteral(SENDHOLD_PICTURE_DIR "/panel-en.png")));

    QString error;
    ASSERT_TRUE(registerLaunchAtLogin(&error));
    MenuSliderView registered(*store);
    EXPECT_TRUE(registered.launchAtLoginSwitch()->isChecked());
    EXPECT_EQ(registered.launchAtLoginLabel()->text(), "Launch at Login (On)");
}

TEST_F(MenuSliderViewTest, EverySliderPositionIsStoredAtOnceAlsoWhileDragging) {
    auto panel = shownPanel();
    QSlider* slider = panel->durationSlider();
    slider->setValue(10);
    EXPECT_TRUE(storedText().contains("longPressDuration=1\n"));
    EXPECT_EQ(current(*panel), "Current: 1.0 s");
    // Dragging: each position the knob passes is stored before the release.
    slider->setSliderDown(true);
    for (int position = 9; position >= 2; --position) {
        slider->setSliderPosition(position);
        EXPECT_EQ(store->longPressDuration(), position / 10.0);
        EXPECT_EQ(current(*panel), currentSettingText(position / 10.0));
    }
    slider->setSliderDown(false);
    EXPECT_TRUE(storedText().contains("longPressDuration=0.2\n"));
    EXPECT_EQ(current(*panel), "Current: 0.2 s");
}

TEST_F(MenuSliderViewTest, TheDurationRowFollowsTheStoreWhoeverWritesIt) {
    writeFile(store->filePath(), "[General]\nlongPressDuration=2.5\n");
    auto panel = shownPanel();
    EXPECT_EQ(current(*panel), "Current: 2.5 s");
    EXPECT_EQ(panel->durationSlider()->value(), 10);
    // Showing a value the slider cannot hold does not overwrite it.
    EXPECT_TRUE(storedText().contains("=2.5"));

    replaceFile(store->filePath(), "[General]\nlongPressDuration=0.7\n");
    EXPECT_TRUE(QTest::qWaitFor([&] { return current(*panel) == "Current: 0.7 s"; }));
    EXPECT_EQ(panel->durationSlider()->value(), 7);
    writeFile(store->filePath(), "[General]\nlongPressDuration=nonsense\n");
    EXPECT_TRUE(QTest::qWaitFor([&] { return current(*panel) == "Current: 0.4 s"; }));
    EXPECT_EQ(panel->durationSlider()->value(), 4);
    EXPECT_TRUE(storedText().contains("nonsense"));

    // Another panel on the same store moves this one too.
    MenuSliderView other(*store);
    other.durationSlider()->setValue(9);
    EXPECT_EQ(current(*panel), "Current: 0.9 s");
}

TEST_F(MenuSliderViewTest, TheEnableSwitchFlipsTheGuardAndPostsUpdateIconOncePerFlip) {
    auto panel = shownPanel();
    std::vector<bool> seenByObserver;
    const auto token = NotificationCenter::defaultCenter().addObserver(
        kUpdateIconNotification,
        [&] { seenByObserver.push_back(KeyboardManager::shared().isEnabled); });
    QTest::mouseClick(panel->enableSwitch(), Qt::LeftButton);
    EXPECT_FALSE(KeyboardManager::shared().isEnabled);
    EXPECT_EQ(panel->enabledLabel()->text(), "Sendhold: Off");
    EXPECT_EQ(seenByObserver, std::vector<bool>{false});
    QTest::mouseClick(panel->enableSwitch(), Qt::LeftButton);
    EXPECT_TRUE(KeyboardManager::shared().isEnabled);
    EXPECT_EQ(panel->enabledLabel()->text(), "Sendhold: On");
    EXPECT_EQ(seenByObserver, (std::vector<bool>{false, true}));
    NotificationCenter::defaultCenter().removeObserver(token);

    // The guard's flag changed elsewhere does not move the switch.
    KeyboardManager::shared().isEnabled = false;
    QTest::qWait(10);
    EXPECT_TRUE(panel->enableSwitch()->isChecked());
}

TEST_F(MenuSliderViewTest, TheLaunchSwitchRegistersAndAfterAFailureShowsTheRealState) {
    auto panel = shownPanel();
    QTest::mouseClick(panel->launchAtLoginSwitch(), Qt::LeftButton);
    EXPECT_TRUE(isLaunchAtLoginOn());
    EXPECT_EQ(panel->launchAtLoginLabel()->text(), "Launch at Login (On)");
    QTest::mouseClick(panel->launchAtLoginSwitch(), Qt::LeftButton);
    EXPECT_FALSE(isLaunchAtLoginOn());
    EXPECT_EQ(panel->launchAtLoginLabel()->text(), "Launch at Login (Off)");

    // A plain file where the autostart folder should be: fails even for root, with one line
    // naming the path and the system's reason, and the switch goes back to off.
    const QString folder = configHome() + "/autostart";
    QDir(folder).removeRecursively();
    writeFile(folder, "in the way");
    const QByteArray printed =
        captureStdout([&] { QTest::mouseClick(panel->launchAtLoginSwitch(), Qt::LeftButton); });
    EXPECT_TRUE(printed.startsWith("Failed to update launch at login: ")) << printed.data();
    EXPECT_TRUE(printed.contains(QFile::encodeName(folder)) && printed.contains("Not a directory"));
    EXPECT_TRUE(printed.endsWith('\n'));
    EXPECT_EQ(printed.count('\n'), 1);
    EXPECT_FALSE(panel->launchAtLoginSwitch()->isChecked());
    EXPECT_EQ(panel->launchAtLoginLabel()->text(), "Launch at Login (Off)");
}

TEST_F(MenuSliderViewTest, LabelsInJapaneseWithAPicture) {
    setPreferredLanguagesSource([] { return QStringList{QStringLiteral("ja-JP")}; });
    auto panel = shownPanel();
    EXPECT_EQ(panel->enabledLabel()->text(), "Sendhold: オン");
    EXPECT_EQ(panel->titleLabel()->text(), "長押しの感度設定");
    EXPECT_EQ(panel->fastLabel()->text(), "速い (0.2s)");
    EXPECT_EQ(panel->slowLabel()->text(), "遅い (1.0s)");
    EXPECT_EQ(current(*panel), "現在の設定: 0.4 秒");
    EXPECT_EQ(panel->launchAtLoginLabel()->text(), "Mac起動時に自動開始 (オフ)");
    EXPECT_TRUE(panel->grab().save(QStringLiteral(SENDHOLD_PICTURE_DIR "/panel-ja.png")));
}

}  // namespace
}  // namespace sendhold
