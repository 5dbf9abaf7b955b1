#include "SwitchActions.h"

#include <QByteArray>
#include <QString>

#include "Diagnostics.h"
#include "KeyboardManager/KeyboardManager.h"
#include "LaunchAtLogin.h"
#include "NotificationCenter.h"

namespace sendhold {

void enabledChanged(bool isEnabled) {
    KeyboardManager::shared().isEnabled = isEnabled;
    NotificationCenter::defaultCenter().post(kUpdateIconNotification);
}

bool launchAtLoginChanged(bool launchAtLogin) {
    QString error;
    const bool ok = launchAtLogin ? registerLaunchAtLogin(&error) : unregisterLaunchAtLogin(&error);
    if (!ok) {
        // One line, even if a path holds a line break.
        error.replace(QLatin1Char('\n'), QLatin1Char(' '));
        printStatus((QStringLiteral("Failed to update launch at login: ") + error).toStdString());
    }
    return ok;
}

}  // namespace sendhold
