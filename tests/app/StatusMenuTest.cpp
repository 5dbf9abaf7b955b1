#include <gtest/gtest.h>

#include <QLabel>
#include <QTest>
#include <QWidgetAction>

#include "KeyboardManager/KeyboardManager.h"
#include "app/StatusMenu.h"
#include "localization/Localization.h"
#include "settings/MenuSliderView.h"
#include "settings/SwitchToggle.h"

using namespace sendhold;

// The panel menu: the panel, a separator, Quit with Ctrl+Q shown (the shortcut
// lives on the menu, not the action); clicks in the open panel keep it open.
// The plain menu (exported as text only): "Settings..." and Quit, no widgets, no
// shortcut column. Both keep the language of the start.
TEST(StatusMenu, PanelMenuAndPlainMenu) {
    int quits = 0, opens = 0;
    setPreferredLanguagesSource([] { return QStringList{QStringLiteral("ja")}; });
    StatusMenus menus = buildStatusMenus({[&] { ++quits; }, [&] { ++opens; }});
    setPreferredLanguagesSource([] { return QStringList{QStringLiteral("en")}; });
    const QList<QAction*> panelActions = menus.panelMenu->actions();
    const QList<QAction*> plain = menus.contextMenu->actions();
    ASSERT_TRUE(panelActions.size() == 3 && plain.size() == 3);
    auto* item = qobject_cast<QWidgetAction*>(panelActions[0]);
    auto* panel = item ? qobject_cast<MenuSliderView*>(item->defaultWidget()) : nullptr;
    ASSERT_TRUE(panel != nullptr && menus.panel == panel);
    EXPECT_TRUE(panelActions[1]->isSeparator() && plain[1]->isSeparator());
    EXPECT_EQ(panelActions[2]->text(), "終了\tCtrl+Q");
    EXPECT_TRUE(panelActions[2]->shortcut().isEmpty());
    EXPECT_EQ(plain[0]->text(), "設定...");
    EXPECT_EQ(plain[2]->text(), "終了");
    for (QAction* action : plain) EXPECT_EQ(qobject_cast<QWidgetAction*>(action), nullptr);

    QMenu& menu = *menus.panelMenu;
    menu.popup(QPoint(10, 10));
    ASSERT_TRUE(QTest::qWaitFor([&] { return menu.isVisible(); }));
    EXPECT_TRUE(panel->width() >= 270 && panel->height() == 175);
    const QRect switchBefore = panel->enableSwitch()->geometry();
    for (QWidget* target : std::initializer_list<QWidget*>{panel->titleLabel(), panel})
        QTest::mouseClick(target, Qt::LeftButton, {}, QPoint(5, 5));
    QTest::mouseClick(panel->enableSwitch(), Qt::LeftButton);
    QTest::qWait(20);
    EXPECT_FALSE(KeyboardManager::shared().isEnabled);
    KeyboardManager::shared().isEnabled = true;
    EXPECT_TRUE(menu.isVisible());
    EXPECT_EQ(panel->enableSwitch()->geometry(), switchBefore);  // the state word moves nothing
    EXPECT_TRUE(menu.grab().save(QStringLiteral(SENDHOLD_PICTURE_DIR "/menu.png")));
    for (QAction* action : {panelActions[2], plain[0], plain[2]}) action->trigger();
    EXPECT_EQ(quits, 2);
    EXPECT_EQ(opens, 1);
}
