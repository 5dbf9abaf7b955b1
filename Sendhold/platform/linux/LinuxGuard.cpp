#include "LinuxGuard.h"

#include <QCoreApplication>
#include <chrono>
#include <thread>

#include "Diagnostics.h"
#include "GuardHooks.h"
#include "KeyboardManager/KeyboardManager.h"
#include "LinuxKeyboardTap.h"
#include "LoopTimerScheduler.h"
#include "ProcessSignals.h"
#include "QtMainLoop.h"
#include "SteadyClock.h"
#include "UdevInputSystem.h"

namespace sendhold {
namespace {

// The guard's hooks; under SENDHOLD_TEST_STALL_SECONDS the first key event after
// each SIGUSR1 blocks the main loop once the guard has handled it.
GuardHooks guardHooks() {
    GuardHooks hooks = sharedGuardHooks();
    const std::optional<double> stall = requestedTestStallSeconds();
    if (!stall) return hooks;
    hooks.callback = [callback = hooks.callback, seconds = *stall](std::uint32_t type,
                                                                   KeyEvent* event) {
        KeyEvent* result = callback(type, event);
        if (takeTestStallRequest())
            std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        return result;
    };
    return hooks;
}

}  // namespace

void installLinuxGuardSeams() {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) {
        warn("the keyboard guard needs a running application object");
        return;
    }
    auto loop = std::make_shared<QtMainLoop>();
    auto tap =
        std::make_shared<LinuxKeyboardTap>(std::make_shared<UdevInputSystem>(), guardHooks(), loop);
    KeyboardManager::shared().bindSeams(KeyboardManagerSeams{
        .clock = std::make_shared<SteadyClock>(),
        .timers = std::make_shared<LoopTimerScheduler>(loop),
        .poster = tap,
        .tap = tap,
    });
    // Keys the twins hold are released and the grabs ended before the process goes.
    QObject::connect(app, &QCoreApplication::aboutToQuit, app, [tap] { tap->shutdown(); });
    installProcessSignalHandlers(
        {.beforeStop = [tap] { tap->letGo(); }, .afterContinue = [tap] { tap->retake(); }});
}

}  // namespace sendhold
