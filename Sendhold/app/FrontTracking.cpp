#include "FrontTracking.h"

#include <QString>
#include <memory>

#include "ApplicationId.h"
#include "focus/FrontApplication.h"
#include "platform/linux/QtMainLoop.h"
#include "platform/linux/focus/FrontWatches.h"
#include "settings/ApplicationRules.h"

namespace sendhold {

void startFrontTracking() {
    // All live as long as the process.
    static QtMainLoop loop;
    // The settings window comes to the front when it opens, under X11 as
    // instance "sendhold" and class "Sendhold", under Wayland by the app id.
    static focus::FrontApplication front(
        {"sendhold", kApplicationName, kApplicationId}, [](const std::string& id) {
            ApplicationRules::shared().setFrontApplication(QString::fromStdString(id));
        });
    static std::unique_ptr<focus::FrontWatch> watch;
    const focus::FrontSink report = [](const std::string& raw) { front.report(raw); };

    // Under Wayland the X server, if any, sees only its own windows.
    if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        watch = watchWlrFront(loop, report);
    } else if (!qEnvironmentVariableIsEmpty("DISPLAY")) {
        watch = watchX11Front(loop, report);
    }
    ApplicationRules::shared().setTracking(watch != nullptr);
}

}  // namespace sendhold
