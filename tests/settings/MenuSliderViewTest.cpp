#include <QDir>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QSignalSpy>
#include <QSlider>
#include <QTest>
#include <QWidgetAction>

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

class MenuSliderViewTest : public FreshConfigHome {
  protected:
    void SetUp() override {
        FreshConfigHome::SetUp();
        KeyboardManager::shared().isEnabled = true;
        store = std::make_unique<Preferences>(Preferences::defaultFilePath());
    }
    void TearDown() override {
        setPreferredLanguagesSource([] { return QStringList{QStringLiteral("en")}; });
        KeyboardManager::shared().isEnabled = true;
        FreshConfigHome::TearDown();
    }
    QString storedText() { return QString::fromUtf8(readFile(store->filePath())); }

    std::unique_ptr<Preferences> store;
};

void savePicture(QWidget& widget, const QString& name) {
    const QString path = QStringLiteral(SENDHOLD_PICTURE_DIR) + "/" + name;
    EXPECT_TRUE(widget.grab().save(path)) << path.toStdString();
}

TEST(PanelTexts, TheNumberHasOneDecimalAndAPointWhateverTheLocale) {
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(currentSettingText(0.1 + 0.2), "Current: 0.3 s");
    EXPECT_EQ(currentSettingText(1.0), "Current: 1.0 s");
    QLocale::setDefault(QLocale::c());
}

TEST_F(MenuSliderViewTest, StartsFromTheStoreTheGuardAndTheAutostartEntry) {
    MenuSliderView panel(*store);
    EXPECT_EQ(panel.sizeHint(), QSize(270, 175));
    EXPECT_EQ(panel.durationSlider()->value(), 4);
    EXPECT_EQ(panel.currentSettingLabel()->text(), "Current: 0.4 s");
    EXPECT_TRUE(panel.enableSwitch()->isChecked());
    EXPECT_EQ(panel.enabledLabel()->text(), "Sendhold: On");
    EXPECT_FALSE(panel.launchAtLoginSwitch()->isChecked());
    EXPECT_EQ(panel.launchAtLoginLabel()->text(), "Launch at Login (Off)");
    EXPECT_EQ(panel.titleLabel()->text(), "Long Press Sensitivity");
    EXPECT_EQ(panel.fastLabel()->text(), "Fast (0.2s)");
    EXPECT_EQ(panel.slowLabel()->text(), "Slow (1.0s)");
    // Showing the panel stores nothing.
    EXPECT_FALSE(QFile::exists(store->filePath()));

    QString error;
    ASSERT_TRUE(registerLaunchAtLogin(&error));
    MenuSliderView registered(*store);
    EXPECT_TRUE(registered.launchAtLoginSwitch()->isChecked());
    EXPECT_EQ(registered.launchAtLoginLabel()->text(), "Launch at Login (On)");
}

TEST_F(MenuSliderViewTest, EverySliderPositionIsStoredAtOnceAlsoWhileDragging) {
    MenuSliderView panel(*store);
    panel.durationSlider()->setValue(2);
    EXPECT_TRUE(storedText().contains("longPressDuration=0.2\n"));
    EXPECT_EQ(panel.currentSettingLabel()->text(), "Current: 0.2 s");
    panel.durationSlider()->setValue(10);
    EXPECT_TRUE(storedText().contains("longPressDuration=1\n"));
    EXPECT_EQ(Preferences(store->filePath()).longPressDuration(), 1.0);
    EXPECT_EQ(panel.currentSettingLabel()->text(), "Current: 1.0 s");

    // Dragging: each position the knob passes is stored before the release.
    panel.resize(panel.sizeHint());
    panel.show();
    QSlider* slider = panel.durationSlider();
    slider->setSliderDown(true);
    for (int position = 9; position >= 3; --position) {
        slider->setSliderPosition(position);
        EXPECT_EQ(store->longPressDuration(), position / 10.0);
        EXPECT_EQ(panel.currentSettingLabel()->text(), currentSettingText(position / 10.0));
    }
    slider->setSliderDown(false);
    EXPECT_EQ(store->longPressDuration(), 0.3);
}

TEST_F(MenuSliderViewTest, TheDurationRowFollowsTheStoreWhoeverWritesIt) {
    writeFile(store->filePath(), "[General]\nlongPressDuration=2.5\n");
    MenuSliderView panel(*store);
    EXPECT_EQ(panel.currentSettingLabel()->text(), "Current: 2.5 s");
    EXPECT_EQ(panel.durationSlider()->value(), 10);
    // Showing a value the slider cannot hold does not overwrite it.
    EXPECT_TRUE(storedText().contains("=2.5"));

    replaceFile(store->filePath(), "[General]\nlongPressDuration=0.7\n");
    QTRY_COMPARE(panel.currentSettingLabel()->text(), QString("Current: 0.7 s"));
    EXPECT_EQ(panel.durationSlider()->value(), 7);
    writeFile(store->filePath(), "[General]\nlongPressDuration=nonsense\n");
    QTRY_COMPARE(panel.currentSettingLabel()->text(), QString("Current: 0.4 s"));
    EXPECT_EQ(panel.durationSlider()->value(), 4);
    EXPECT_TRUE(storedText().contains("nonsense"));

    // Another panel on the same store moves this one too.
    MenuSliderView other(*store);
    other.durationSlider()->setValue(9);
    EXPECT_EQ(panel.currentSettingLabel()->text(), "Current: 0.9 s");
}

TEST_F(MenuSliderViewTest, TheEnableSwitchFlipsTheGuardAndPostsUpdateIconOncePerFlip) {
    MenuSliderView panel(*store);
    panel.resize(panel.sizeHint());
    panel.show();
    std::vector<bool> seenByObserver;
    const auto token = NotificationCenter::defaultCenter().addObserver(
        kUpdateIconNotification,
        [&] { seenByObserver.push_back(KeyboardManager::shared().isEnabled); });

    QTest::mouseClick(panel.enableSwitch(), Qt::LeftButton);
    EXPECT_FALSE(KeyboardManager::shared().isEnabled);
    EXPECT_EQ(panel.enabledLabel()->text(), "Sendhold: Off");
    EXPECT_EQ(seenByObserver, std::vector<bool>{false});
    QTest::mouseClick(panel.enableSwitch(), Qt::LeftButton);
    EXPECT_TRUE(KeyboardManager::shared().isEnabled);
    EXPECT_EQ(panel.enabledLabel()->text(), "Sendhold: On");
    EXPECT_EQ(seenByObserver, (std::vector<bool>{false, true}));
    NotificationCenter::defaultCenter().removeObserver(token);

    // The guard's flag changed elsewhere does not move the switch.
    KeyboardManager::shared().isEnabled = false;
    QTest::qWait(10);
    EXPECT_TRUE(panel.enableSwitch()->isChecked());
}

TEST_F(MenuSliderViewTest, TheLaunchSwitchRegistersAndShowsTheRealStateAfterAFailure) {
    MenuSliderView panel(*store);
    panel.resize(panel.sizeHint());
    panel.show();
    QTest::mouseClick(panel.launchAtLoginSwitch(), Qt::LeftButton);
    EXPECT_TRUE(isLaunchAtLoginOn());
    EXPECT_EQ(panel.launchAtLoginLabel()->text(), "Launch at Login (On)");
    QTest::mouseClick(panel.launchAtLoginSwitch(), Qt::LeftButton);
    EXPECT_FALSE(isLaunchAtLoginOn());
    EXPECT_EQ(panel.launchAtLoginLabel()->text(), "Launch at Login (Off)");

    QDir(configHome() + "/autostart").removeRecursively();
    writeFile(configHome() + "/autostart", "in the way");
    const QByteArray printed =
        captureStdout([&] { QTest::mouseClick(panel.launchAtLoginSwitch(), Qt::LeftButton); });
    EXPECT_TRUE(printed.startsWith("Failed to update launch at login: "));
    EXPECT_EQ(printed.count('\n'), 1);
    EXPECT_FALSE(panel.launchAtLoginSwitch()->isChecked());
    EXPECT_EQ(panel.launchAtLoginLabel()->text(), "Launch at Login (Off)");
}

TEST_F(MenuSliderViewTest, InsideAMenuClicksKeepTheMenuOpenAndTheWidthStaysAtLeast270) {
    QMenu menu;
    auto* action = new QWidgetAction(&menu);
    auto* panel = new MenuSliderView(*store);
    action->setDefaultWidget(panel);
    menu.addAction(action);
    menu.addSeparator();
    menu.addAction(QStringLiteral("Quit"), QKeySequence(QStringLiteral("Ctrl+Q")), [] {});
    menu.popup(QPoint(10, 10));
    QTRY_VERIFY(menu.isVisible());
    EXPECT_GE(panel->width(), 270);
    EXPECT_EQ(panel->height(), 175);

    QTest::mouseClick(panel->titleLabel(), Qt::LeftButton);
    QTest::mouseClick(panel, Qt::LeftButton, {}, QPoint(5, 5));
    QTest::qWait(20);
    EXPECT_TRUE(menu.isVisible());
    const QRect switchBefore = panel->enableSwitch()->geometry();
    QTest::mouseClick(panel->enableSwitch(), Qt::LeftButton);
    EXPECT_FALSE(KeyboardManager::shared().isEnabled);
    EXPECT_TRUE(menu.isVisible());
    // The shorter or longer state word moves nothing else.
    EXPECT_EQ(panel->enableSwitch()->geometry(), switchBefore);
    savePicture(menu, QStringLiteral("menu-en.png"));
    menu.close();
}

TEST_F(MenuSliderViewTest, LabelsInEnglishAndJapaneseWithPictures) {
    {
        MenuSliderView panel(*store);
        panel.resize(panel.sizeHint());
        savePicture(panel, QStringLiteral("panel-en.png"));
    }
    setPreferredLanguagesSource([] { return QStringList{QStringLiteral("ja-JP")}; });
    MenuSliderView panel(*store);
    EXPECT_EQ(panel.enabledLabel()->text(), "Sendhold: オン");
    EXPECT_EQ(panel.titleLabel()->text(), "長押しの感度設定");
    EXPECT_EQ(panel.fastLabel()->text(), "速い (0.2s)");
    EXPECT_EQ(panel.slowLabel()->text(), "遅い (1.0s)");
    EXPECT_EQ(panel.currentSettingLabel()->text(), "現在の設定: 0.4 秒");
    EXPECT_EQ(panel.launchAtLoginLabel()->text(), "Mac起動時に自動開始 (オフ)");
    panel.resize(panel.sizeHint());
    savePicture(panel, QStringLiteral("panel-ja.png"));
}

}  // namespace
}  // namespace sendhold
