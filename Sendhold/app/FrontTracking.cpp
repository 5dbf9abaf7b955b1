#include "FrontTracking.h"

#include <QCoreApplication>
#include <QString>
#include <memory>

#include "ApplicationId.h"
#include "SessionBus.h"
#include "ShellFrontReports.h"
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
        // GNOME Shell and KWin tell no client: their plug-ins report instead,
        // before Sendhold's bus name is asked for. Tracking starts with the first report.
        if (!watch) {
            withSessionBus([report](QDBusConnection bus) {
                (new ShellFrontReports(bus, report, qApp))->publish();
                if (qEnvironmentVariable("XDG_CURRENT_DESKTOP").contains(QLatin1String("KDE")))
                    loadKWinScript(bus, installedKWinScript());
            });
        }
    } else if (!qEnvironmentVariableIsEmpty("DISPLAY")) {
        watch = watchX11Front(loop, report);
    }
    ApplicationRules::shared().setTracking(watch != nullptr);
}

}  // namespace sendhold
