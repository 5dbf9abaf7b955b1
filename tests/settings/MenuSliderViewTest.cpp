#include <QLabel>
#include <QLocale>
#include <QSlider>
#include <QTest>

#include "KeyboardManager/KeyboardManager.h"
#include "SettingsTestSupport.h"
#include "localization/Localization.h"
#include "settings/ApplicationRules.h"
#include "settings/LaunchAtLogin.h"
#include "settings/MenuSliderView.h"
#include "settings/NotificationCenter.h"
#include "settings/PanelTexts.h"
#include "settings/Preferences.h"
#include "settings/SwitchToggle.h"

using namespace sendhold;

// A shown panel on a fresh store, under a locale that writes numbers with a
// comma: the panel's numbers keep their point whatever the locale.
class MenuSliderViewTest : public FreshConfigHome {
  protected:
    void TearDown() override {
        setPreferredLanguagesSource([] { return QStringList{QStringLiteral("en")}; });
        KeyboardManager::shared().isEnabled = true;
        KeyboardManager::shared().isOffInFrontApplication = false;
        QLocale::setDefault(QLocale::c());
    }
    QString current() { return panel.currentSettingLabel()->text(); }
    void click(QWidget* widget) { QTest::mouseClick(widget, Qt::LeftButton); }

    bool prepared = [] {
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        return KeyboardManager::shared().isEnabled = true;
    }();
    Preferences store{Preferences::defaultFilePath()};
    ApplicationRules rules{store};
    MenuSliderView panel{store, rules};
    bool shown = (panel.resize(panel.sizeHint()), panel.show(), true);
};

TEST_F(MenuSliderViewTest, StartsFromTheStoreTheGuardAndTheAutostartEntry) {
    EXPECT_EQ(current(), "Current: 0.4 s");
    EXPECT_EQ(panel.enabledLabel()->text(), "Sendhold: On");
    EXPECT_EQ(panel.launchAtLoginLabel()->text(), "Launch at Login (Off)");
    EXPECT_FALSE(QFile::exists(store.filePath()));  // showing stores nothing
    EXPECT_TRUE(panel.grab().save(QStringLiteral(SENDHOLD_PICTURE_DIR "/panel-en.png")));
    // As printf's %.1f: the exact binary value decides, exact halves go to even.
    for (auto [seconds, text] :
         {std::pair{0.25, "0.2"}, {0.35, "0.3"}, {0.45, "0.5"}, {0.75, "0.8"}})
        EXPECT_EQ(currentSettingText(seconds), QStringLiteral("Current: %1 s").arg(text));
    QString error;
    ASSERT_TRUE(registerLaunchAtLogin(&error));
    KeyboardManager::shared().isEnabled = false;
    setPreferredLanguagesSource([] { return QStringList{QStringLiteral("ja-JP")}; });
    MenuSliderView other(store, rules);
    EXPECT_FALSE(other.enableSwitch()->isChecked());
    EXPECT_EQ(other.launchAtLoginLabel()->text(), "ログイン時に自動開始 (オン)");
    EXPECT_EQ(other.currentSettingLabel()->text(), "現在の設定: 0.4 秒");
}

TEST_F(MenuSliderViewTest, EverySliderPositionIsStoredAtOnceAndTheRowFollowsTheStore) {
    QSlider* slider = panel.durationSlider();
    slider->setSliderDown(true);  // dragging: each position passed is stored
    for (int position = 10; position >= 2; --position) {
        slider->setSliderPosition(position);
        EXPECT_EQ(readFile(store.filePath()).split('=').last(),
                  QByteArray::number(position / 10.0) + '\n');
        EXPECT_EQ(current(), QStringLiteral("Current: %1 s").arg(position / 10.0, 0, 'f', 1));
    }
    writeFile(store.filePath(), "[General]\nlongPressDuration=2.5\n", true);
    EXPECT_TRUE(QTest::qWaitFor([&] { return current() == "Current: 2.5 s"; }));
    EXPECT_EQ(slider->value(), 10);
    // A value the slider cannot hold stays in the file.
    EXPECT_TRUE(readFile(store.filePath()).contains("=2.5"));
    writeFile(store.filePath(), "[General]\nlongPressDuration=nonsense\n");
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return slider->value() == 4 && current() == "Current: 0.4 s"; }));
    MenuSliderView(store, rules).durationSlider()->setValue(9);  // another panel on the same store
    EXPECT_EQ(current(), "Current: 0.9 s");
}

TEST_F(MenuSliderViewTest, TheSwitchesFlipTheGuardAndTheAutostartEntry) {
    // The observer leaves while it is called: the center must cope.
    std::vector<bool> seen;
    NotificationCenter& center = NotificationCenter::defaultCenter();
    NotificationCenter::Token token = center.addObserver(kUpdateIconNotification, [&] {
        seen.push_back(KeyboardManager::shared().isEnabled);
        if (seen.size() == 2) center.removeObserver(token);
    });
    click(panel.enableSwitch());
    EXPECT_EQ(panel.enabledLabel()->text(), "Sendhold: Off");
    for (int i = 0; i < 3; ++i) click(panel.enableSwitch());
    EXPECT_EQ(seen, (std::vector<bool>{false, true}));
    for (bool on : {true, false}) {
        click(panel.launchAtLoginSwitch());
        EXPECT_EQ(isLaunchAtLoginOn(), on);
    }
    // A file where the autostart folder goes: one line with the path and the
    // reason, and the switch goes back to off.
    QDir(configHome()).rmdir("autostart");
    writeFile(configHome() + "/autostart", "in the way");
    const QByteArray printed = capture([&] { click(panel.launchAtLoginSwitch()); });
    EXPECT_TRUE(printed.startsWith("Failed to update launch at login: ")) << printed.data();
    EXPECT_TRUE(printed.contains("/autostart") && printed.contains("Not a directory"));
    EXPECT_FALSE(panel.launchAtLoginSwitch()->isChecked());
}

TEST_F(MenuSliderViewTest, TheFrontRowSwitchesTheGuardForTheApplicationShownWhenItOpened) {
    EXPECT_TRUE(panel.frontApplicationRow()->isHidden());  // nothing reports the front yet
    EXPECT_EQ(panel.sizeHint().height(), MenuSliderView::kHeight);
    rules.setFrontApplication("org.example.Calc");
    EXPECT_EQ(panel.sizeHint().height(), MenuSliderView::kHeight + MenuSliderView::kFrontRowHeight);
    panel.hide(), panel.show();
    rules.setFrontApplication("org.example.Chat");  // after the panel opened
    EXPECT_EQ(panel.frontApplicationLabel()->text(), "org.example.Calc");
    panel.resize(panel.sizeHint());
    EXPECT_TRUE(panel.grab().save(QStringLiteral(SENDHOLD_PICTURE_DIR "/panel-front.png")));
    click(panel.frontApplicationSwitch());
    EXPECT_TRUE(readFile(store.filePath()).contains("guardOffApplications=org.example.Calc\n"));
    const auto guard = [&] { return rules.effectiveGuard(); };
    EXPECT_TRUE(guard());
    rules.setFrontApplication("org.example.Calc");
    EXPECT_FALSE(guard());
    EXPECT_TRUE(KeyboardManager::shared().isEnabled);  // the icon still shows the switch
    // A hand edit, junk included, is seen live; junk matches nothing and stays.
    writeFile(store.filePath(),
              "[General]\nguardOffApplications=\"\\x1\", " + QByteArray(300, 'a') +
                  ", org.example.Chat, @Variant(zz\nlongPressDuration=0.5\n",
              true);
    EXPECT_TRUE(QTest::qWaitFor(guard));
    rules.setFrontApplication("org.example.Chat");
    EXPECT_FALSE(guard());
    panel.hide(), panel.show();
    EXPECT_FALSE(panel.frontApplicationSwitch()->isChecked());
    click(panel.frontApplicationSwitch());
    EXPECT_TRUE(guard());
    const QByteArray kept = readFile(store.filePath());
    EXPECT_TRUE(kept.contains(QByteArray(300, 'a')) && !kept.contains("Chat")) << kept.data();
    EXPECT_EQ(store.longPressDuration(), 0.5);
    rules.setFrontApplication("");
    panel.hide(), panel.show();
    EXPECT_EQ(panel.frontApplicationLabel()->text(), "—");
    EXPECT_FALSE(panel.frontApplicationSwitch()->isEnabled());
}
