#include <gtest/gtest.h>

#include <QAction>
#include <QLabel>
#include <QTest>
#include <QWidgetAction>

#include "KeyboardManager.h"
#include "Localization.h"
#include "MenuSliderView.h"
#include "StatusMenu.h"
#include "SwitchToggle.h"

namespace sendhold {
namespace {

struct Counts {
    int quit = 0;
    int openPanel = 0;
};

StatusMenus build(Counts& counts) {
    return buildStatusMenus({[&counts] { ++counts.quit; }, [&counts] { ++counts.openPanel; }});
}

TEST(StatusMenu, PanelThenSeparatorThenQuitAndClicksInTheOpenPanelKeepItOpen) {
    Counts counts;
    StatusMenus menus = build(counts);
    QMenu& menu = *menus.panelMenu;
    const QList<QAction*> actions = menu.actions();
    ASSERT_EQ(actions.size(), 3);
    auto* panelItem = qobject_cast<QWidgetAction*>(actions[0]);
    ASSERT_NE(panelItem, nullptr);
    auto* panel = qobject_cast<MenuSliderView*>(panelItem->defaultWidget());
    ASSERT_TRUE(panel != nullptr && menus.panel == panel);
    EXPECT_TRUE(actions[1]->isSeparator());
    EXPECT_EQ(actions[2]->text(), localized(QStringLiteral("quit")) + "\tCtrl+Q");
    // No key sequence on the action itself: it would clash with the menu's shortcut.
    EXPECT_TRUE(actions[2]->shortcut().isEmpty());

    menu.popup(QPoint(10, 10));
    ASSERT_TRUE(QTest::qWaitFor([&] { return menu.isVisible(); }));
    EXPECT_GE(panel->width(), 270);
    EXPECT_EQ(panel->height(), 175);
    QTest::mouseClick(panel->titleLabel(), Qt::LeftButton);
    QTest::mouseClick(panel, Qt::LeftButton, {}, QPoint(5, 5));
    const QRect switchBefore = panel->enableSwitch()->geometry();
    QTest::mouseClick(panel->enableSwitch(), Qt::LeftButton);
    QTest::qWait(20);
    EXPECT_FALSE(KeyboardManager::shared().isEnabled);
    KeyboardManager::shared().isEnabled = true;
    EXPECT_TRUE(menu.isVisible());
    // The shorter or longer state word moves nothing else.
    EXPECT_EQ(panel->enableSwitch()->geometry(), switchBefore);
    EXPECT_TRUE(menu.grab().save(QStringLiteral(SENDHOLD_PICTURE_DIR "/menu-en.png")));
    actions[2]->trigger();
    EXPECT_EQ(counts.quit, 1);
}

// The plain menu (exported over DBusMenu, text only): "Settings..." and Quit,
// no widgets, no shortcut column, titles in the language of the start.
TEST(StatusMenu, PlainMenuOffersSettingsAndQuitInTheLanguageOfTheStart) {
    setPreferredLanguagesSource([] { return QStringList{QStringLiteral("ja")}; });
    Counts counts;
    StatusMenus menus = build(counts);
    setPreferredLanguagesSource([] { return QStringList{QStringLiteral("en")}; });
    const QList<QAction*> actions = menus.contextMenu->actions();
    ASSERT_EQ(actions.size(), 3);
    EXPECT_EQ(actions[0]->text(), "設定...");
    EXPECT_TRUE(actions[1]->isSeparator());
    EXPECT_EQ(actions[2]->text(), "終了");
    EXPECT_EQ(menus.panelMenu->actions()[2]->text().section('\t', 0, 0), "終了");
    for (QAction* action : actions) EXPECT_EQ(qobject_cast<QWidgetAction*>(action), nullptr);
    actions[0]->trigger();
    actions[2]->trigger();
    EXPECT_EQ(counts.openPanel, 1);
    EXPECT_EQ(counts.quit, 1);
}

}  // namespace
}  // namespace sendhold
