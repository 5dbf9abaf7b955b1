#include "LinuxGuard.h"

#include <QCoreApplication>
#include <iostream>

#include "GuardHooks.h"
#include "KeyboardManager/KeyboardManager.h"
#include "LinuxKeyboardTap.h"
#include "ProcessSignals.h"
#include "QtMainLoopSeams.h"
#include "UdevInputSystem.h"

namespace sendhold {

void installLinuxGuardSeams() {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) {
        std::cerr << "sendhold: the keyboard guard needs a running application object" << std::endl;
        return;
    }
    auto tap =
        std::make_shared<LinuxKeyboardTap>(std::make_shared<UdevInputSystem>(), sharedGuardHooks());
    KeyboardManager::shared().bindSeams(KeyboardManagerSeams{
        .clock = std::make_shared<SteadyClock>(),
        .timers = std::make_shared<PreciseTimerScheduler>(),
        .poster = tap,
        .tap = tap,
    });
    // Keys the twins hold are released and the grabs ended before the process goes.
    QObject::connect(app, &QCoreApplication::aboutToQuit, app, [tap] { tap->shutdown(); });
    installProcessSignalHandlers();
}

}  // namespace sendhold
