#include <gtest/gtest.h>

#include <QAction>
#include <QWidgetAction>

#include "Localization.h"
#include "MenuSliderView.h"
#include "StatusMenu.h"

namespace sendhold {
namespace {

struct Counts {
    int quit = 0;
    int openPanel = 0;
};

StatusMenus build(Counts& counts) {
    return buildStatusMenus({[&counts] { ++counts.quit; }, [&counts] { ++counts.openPanel; }});
}

QString titleWithoutKeys(const QAction* action) {
    return action->text().section('\t', 0, 0);
}

TEST(StatusMenu, PanelThenSeparatorThenQuit) {
    Counts counts;
    StatusMenus menus = build(counts);
    const QList<QAction*> actions = menus.panelMenu->actions();
    ASSERT_EQ(actions.size(), 3);
    auto* panelItem = qobject_cast<QWidgetAction*>(actions[0]);
    ASSERT_NE(panelItem, nullptr);
    auto* panel = qobject_cast<MenuSliderView*>(panelItem->defaultWidget());
    ASSERT_NE(panel, nullptr);
    EXPECT_EQ(menus.panel, panel);
    EXPECT_GE(panel->minimumWidth(), kPanelWidth);
    EXPECT_GE(panel->minimumHeight(), kPanelHeight);
    EXPECT_TRUE(actions[1]->isSeparator());
    EXPECT_EQ(titleWithoutKeys(actions[2]), localized(QStringLiteral("quit")));
    EXPECT_TRUE(actions[2]->text().endsWith(QStringLiteral("\tCtrl+Q")));
    // No key sequence on the action itself: it would clash with the menu's shortcut.
    EXPECT_TRUE(actions[2]->shortcut().isEmpty());

    actions[2]->trigger();
    EXPECT_EQ(counts.quit, 1);
}

TEST(StatusMenu, PlainMenuOffersSettingsAndQuitWithoutWidgets) {
    Counts counts;
    StatusMenus menus = build(counts);
    const QList<QAction*> actions = menus.contextMenu->actions();
    ASSERT_EQ(actions.size(), 3);
    EXPECT_EQ(actions[0]->text(), localized(QStringLiteral("settings")));
    EXPECT_TRUE(actions[1]->isSeparator());
    // Exported menus print the text as it stands: no shortcut column there.
    EXPECT_EQ(actions[2]->text(), localized(QStringLiteral("quit")));
    for (QAction* action : actions) EXPECT_EQ(qobject_cast<QWidgetAction*>(action), nullptr);

    actions[0]->trigger();
    EXPECT_EQ(counts.openPanel, 1);
    actions[2]->trigger();
    EXPECT_EQ(counts.quit, 1);
}

TEST(StatusMenu, QuitTitleKeepsTheLanguageOfTheStart) {
    setPreferredLanguagesSource([] { return QStringList{QStringLiteral("ja")}; });
    const QString japanese = localized(QStringLiteral("quit"));
    Counts counts;
    StatusMenus menus = build(counts);
    setPreferredLanguagesSource([] { return QStringList{QStringLiteral("en")}; });
    ASSERT_NE(localized(QStringLiteral("quit")), japanese);
    EXPECT_EQ(titleWithoutKeys(menus.panelMenu->actions()[2]), japanese);
    EXPECT_EQ(menus.contextMenu->actions()[2]->text(), japanese);
}

}  // namespace
}  // namespace sendhold
