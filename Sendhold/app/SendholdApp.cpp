#include "SendholdApp.h"

#include <QApplication>
#include <QTimer>

#include "AppDelegate.h"
#include "ApplicationId.h"
#include "Diagnostics.h"
#include "GuardStart.h"
#include "SessionBus.h"
#include "platform/linux/SingleInstanceLock.h"

namespace sendhold {

namespace {

bool claimSingleInstance() {
    // Held for the life of the process; the kernel releases it when we end.
    static SingleInstanceLock lock;
    const SingleInstanceLock::Result result = lock.acquire(kApplicationId);
    if (result == SingleInstanceLock::Result::Unavailable) {
        warn("cannot use the lock file " + lock.path() + " (" + lock.problem() +
             "); running without the single-instance check");
    }
    return result != SingleInstanceLock::Result::HeldElsewhere;
}

}  // namespace

void SendholdApp::chooseHeadlessPlatform() {
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) return;
    // Qt tries the platforms in order. In a Wayland session, Wayland itself:
    // XWayland sees the pointer only over X windows, so a menu opened at the
    // pointer lands wherever it was last seen, far from the tray icon. X11
    // there only when Qt's Wayland plugin is missing.
    if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        qputenv("QT_QPA_PLATFORM", "wayland;xcb;offscreen");
    } else if (!qEnvironmentVariableIsEmpty("DISPLAY")) {
        qputenv("QT_QPA_PLATFORM", "xcb;offscreen");
    } else {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
}

int SendholdApp::main(int argc, char** argv) {
    chooseHeadlessPlatform();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromLatin1(kApplicationName));
    QGuiApplication::setDesktopFileName(QString::fromLatin1(kApplicationId));
    QApplication::setQuitOnLastWindowClosed(false);

    // With no display there is no tray to wait for.
    const bool headless = QGuiApplication::platformName() == QLatin1String("offscreen");
    AppDelegate delegate({claimSingleInstance, startGuard, checkTrayHost,
                          headless ? std::vector<int>{} : TrayHostWatch::defaultDelaysMs(),
                          [] { QCoreApplication::exit(0); }, withSessionBus});
    QTimer::singleShot(0, &delegate, &AppDelegate::applicationDidFinishLaunching);
    app.exec();
    return 0;
}

}  // namespace sendhold
