#include "AppDelegate.h"

#include <QCursor>
#include <QGuiApplication>
#include <QScreen>
#include <QTimer>

#include "Diagnostics.h"
#include "KeyboardIcon.h"
#include "KeyboardManager/KeyboardManager.h"

namespace sendhold {

AppDelegate::AppDelegate(LaunchSteps steps, QObject* parent)
    : QObject(parent), steps_(std::move(steps)) {}

AppDelegate::~AppDelegate() {
    // The delegate normally lives as long as the process; one that goes earlier
    // must not leave the notification center calling into freed memory.
    if (iconObserver_) NotificationCenter::defaultCenter().removeObserver(*iconObserver_);
}

void AppDelegate::applicationDidFinishLaunching() {
    if (launched_) return;
    launched_ = true;

    // Another copy is running: leave quietly, before touching the keyboard,
    // the notification center or the tray. The other copy is left alone.
    if (steps_.claimSingleInstance && !steps_.claimSingleInstance()) {
        if (steps_.terminate) steps_.terminate();
        return;
    }

    if (steps_.startGuard) steps_.startGuard();

    iconObserver_ = NotificationCenter::defaultCenter().addObserver(kUpdateIconNotification,
                                                                    [this] { updateIconState(); });

    // The icon is made and drawn as soon as a tray host is there: now, or after
    // a bounded wait for a panel that starts after us.
    trayWatch_ = new TrayHostWatch(steps_.trayHostPresent, steps_.trayRetryDelaysMs, this);
    connect(trayWatch_, &TrayHostWatch::hostAppeared, this, &AppDelegate::makeStatusItem);
    connect(trayWatch_, &TrayHostWatch::gaveUp, this,
            [] { warn("no system tray; the guard runs without an icon"); });
    trayWatch_->start();

    menus_ =
        buildStatusMenus({[this] { quitApp(); },
                          // Later, so the closing context menu does not take the new popup with it.
                          [this] { QTimer::singleShot(0, this, &AppDelegate::openPanel); }});
    attachMenus();
}

void AppDelegate::makeStatusItem() {
    if (statusItem) return;
    statusItem = std::make_unique<QSystemTrayIcon>();
    connect(statusItem.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger) openPanel();
            });
    updateIconState();
    attachMenus();
    statusItem->show();
}

void AppDelegate::attachMenus() {
    if (statusItem && menus_.contextMenu) statusItem->setContextMenu(menus_.contextMenu.get());
}

void AppDelegate::updateIconState() {
    if (!statusItem) return;
    const bool enabled = KeyboardManager::shared().isEnabled;
    statusItem->setIcon(keyboardIcon(enabled));
    statusItem->setToolTip(stateDescription(enabled));
}

void AppDelegate::quitApp() {
    if (steps_.terminate) steps_.terminate();
}

void AppDelegate::openPanel() {
    QMenu* menu = menus_.panelMenu.get();
    if (!menu) return;
    const QRect icon = statusItem ? statusItem->geometry() : QRect();
    if (!icon.isValid() || icon.isEmpty()) {
        // StatusNotifierItem hosts do not tell where the icon is: open at the pointer.
        menu->popup(QCursor::pos());
        return;
    }
    // Under the icon, or above it when the panel sits at the bottom of the screen.
    const QSize size = menu->sizeHint();
    QPoint at(icon.left(), icon.bottom() + 1);
    if (const QScreen* screen = QGuiApplication::screenAt(icon.center())) {
        if (at.y() + size.height() > screen->geometry().bottom())
            at.setY(icon.top() - size.height());
    }
    menu->popup(at);
}

}  // namespace sendhold
