#include "AppDelegate.h"

#include <QCursor>
#include <QEvent>
#include <QGuiApplication>
#include <QPointer>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>

#include "Activation.h"
#include "ApplicationId.h"
#include "Diagnostics.h"
#include "KeyboardIcon.h"
#include "KeyboardManager/KeyboardManager.h"
#include "settings/MenuSliderView.h"

namespace sendhold {

namespace {

// A second copy waits this long at most for the running copy's answer.
constexpr int kActivateTimeoutMs = 1000;
// A menu not painted by then was refused (a Wayland popup with no parent window).
constexpr int kPopupShownWithinMs = 1000;

}  // namespace

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

    // Another copy is running: ask it to show its settings, then leave quietly,
    // before touching the keyboard, the notification center or the tray.
    if (steps_.claimSingleInstance && !steps_.claimSingleInstance()) {
        auto terminate = steps_.terminate ? steps_.terminate : [] {};
        if (steps_.withSessionBus)
            steps_.withSessionBus([terminate](QDBusConnection bus) {
                activateRunningCopy(bus, kActivateTimeoutMs, terminate);
            });
        else
            terminate();
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
    if (menus_.panelMenu) menus_.panelMenu->installEventFilter(this);

    if (steps_.withSessionBus) {
        auto* activation = new ActivationService([this] { showPanelWindow(); }, this);
        steps_.withSessionBus(
            [activation = QPointer<ActivationService>(activation)](QDBusConnection bus) {
                if (activation) activation->publish(bus);
            });
    }
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

void AppDelegate::showPanelWindow() {
    if (!panelWindow_) {
        panelWindow_ = std::make_unique<QWidget>();
        panelWindow_->setWindowTitle(QString::fromLatin1(kApplicationName));
        auto* layout = new QVBoxLayout(panelWindow_.get());
        layout->setContentsMargins(0, 0, 0, 0);
        // The window takes the panel's size and keeps it.
        layout->setSizeConstraint(QLayout::SetFixedSize);
        layout->addWidget(new MenuSliderView());
    } else if (auto* panel = panelWindow_->findChild<MenuSliderView*>()) {
        // Already open: another application may have come to the front since.
        panel->refresh();
    }
    panelWindow_->show();
    panelWindow_->raise();
    panelWindow_->activateWindow();
}

bool AppDelegate::eventFilter(QObject* watched, QEvent* event) {
    if (watched == menus_.panelMenu.get() && event->type() == QEvent::Paint) menuPainted_ = true;
    return QObject::eventFilter(watched, event);
}

void AppDelegate::openPanel() {
    QMenu* menu = menus_.panelMenu.get();
    if (!menu) return;
    // A Wayland popup needs a parent window, and a tray click gives none: Qt would
    // show the menu as an ordinary window, which a tiling compositor stretches
    // over the screen. The panel's own window is the right thing there.
    if (QGuiApplication::platformName() == QLatin1String("wayland")) {
        showPanelWindow();
        return;
    }
    menuPainted_ = false;
    QTimer::singleShot(kPopupShownWithinMs, this, [this] {
        if (menuPainted_) return;
        menus_.panelMenu->hide();
        showPanelWindow();
    });
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
