#pragma once

#include <QMenu>
#include <QPointer>
#include <QString>
#include <functional>
#include <memory>

namespace sendhold {

// The two menus of the tray icon.
//
// panelMenu is the real menu: the settings panel, a separator and Quit. Hosts
// that speak StatusNotifierItem export a context menu through DBusMenu, which
// carries text only and drops a hosted widget; so the context menu is a plain
// one ("Settings..." and Quit), and "Settings..." or a left click pops up the
// panel menu instead.
struct StatusMenus {
    std::unique_ptr<QMenu> panelMenu;
    std::unique_ptr<QMenu> contextMenu;
    QPointer<QWidget> panel;
};

struct StatusMenuActions {
    std::function<void()> quit;
    std::function<void()> openPanel;
};

// Builds both menus once. Their titles are looked up here, once, in the
// language chosen at start.
StatusMenus buildStatusMenus(const StatusMenuActions& actions);

}  // namespace sendhold
