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

// Quit with Ctrl+Q shown beside it. A shortcut set on an action inside a popup
// never fires, and one on both the action and the menu would be ambiguous; so
// the action only shows the keys and a QShortcut on the menu itself does the work.
void addQuit(QMenu& menu, const QString& title, const std::function<void()>& quit) {
    QAction* action =
        menu.addAction(title + QLatin1Char('\t') + kQuitKeys.toString(QKeySequence::NativeText));
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
    auto* view = new MenuSliderView();
    // A minimum, not a fixed size: the menu's shortcut column makes it wider
    // than the panel, and a fixed panel would leave a blank strip beside it.
    view->setMinimumSize(kPanelWidth, kPanelHeight);
    auto* panelItem = new QWidgetAction(menus.panelMenu.get());
    panelItem->setDefaultWidget(view);
    menus.panelMenu->addAction(panelItem);
    menus.panelMenu->addSeparator();
    addQuit(*menus.panelMenu, quitTitle, actions.quit);
    menus.panel = view;

    menus.contextMenu = std::make_unique<QMenu>();
    QAction* settings = menus.contextMenu->addAction(localized(QStringLiteral("settings")));
    QObject::connect(settings, &QAction::triggered, menus.contextMenu.get(),
                     [open = actions.openPanel] { open(); });
    menus.contextMenu->addSeparator();
    addQuit(*menus.contextMenu, quitTitle, actions.quit);
    return menus;
}

}  // namespace sendhold
