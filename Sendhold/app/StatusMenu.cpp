#include "StatusMenu.h"

#include <QAction>
#include <QKeySequence>
#include <QShortcut>
#include <QWidgetAction>

#include "localization/Localization.h"
#include "settings/MenuSliderView.h"

namespace sendhold {

namespace {

const QKeySequence kQuitKeys(Qt::CTRL | Qt::Key_Q);

// Quit, with Ctrl+Q working while the menu is open. A shortcut set on an action
// inside a popup never fires, and one on both the action and the menu would be
// ambiguous; so a QShortcut on the menu itself does the work, and the panel menu
// only shows the keys in the action's text. The plain menu shows no keys: hosts
// that export it over DBusMenu would print them as part of the title.
void addQuit(QMenu& menu, const QString& title, bool showKeys, const std::function<void()>& quit) {
    const QString text =
        showKeys ? title + QLatin1Char('\t') + kQuitKeys.toString(QKeySequence::NativeText) : title;
    QAction* action = menu.addAction(text);
    QObject::connect(action, &QAction::triggered, &menu, [quit] { quit(); });
    auto* shortcut = new QShortcut(kQuitKeys, &menu);
    shortcut->setContext(Qt::WindowShortcut);
    QObject::connect(shortcut, &QShortcut::activated, &menu, [quit] { quit(); });
}

}  // namespace

StatusMenus buildStatusMenus(const StatusMenuActions& actions) {
    StatusMenus menus;
    const QString quitTitle = localized(QStringLiteral("quit"));

    menus.panelMenu = std::make_unique<QMenu>();
    // The panel's own size is a minimum: the menu may widen it to its own width.
    // The action owns the view.
    auto* view = new MenuSliderView();
    auto* panelItem = new QWidgetAction(menus.panelMenu.get());
    panelItem->setDefaultWidget(view);
    menus.panelMenu->addAction(panelItem);
    menus.panelMenu->addSeparator();
    addQuit(*menus.panelMenu, quitTitle, true, actions.quit);
    menus.panel = view;

    menus.contextMenu = std::make_unique<QMenu>();
    QAction* settings = menus.contextMenu->addAction(localized(QStringLiteral("settings")));
    QObject::connect(settings, &QAction::triggered, menus.contextMenu.get(),
                     [open = actions.openPanel] { open(); });
    menus.contextMenu->addSeparator();
    addQuit(*menus.contextMenu, quitTitle, false, actions.quit);
    return menus;
}

}  // namespace sendhold
