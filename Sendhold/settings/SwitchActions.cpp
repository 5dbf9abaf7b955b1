#include "SwitchActions.h"

#include <QByteArray>
#include <QString>
#include <cstdio>

#include "KeyboardManager.h"
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
        const QByteArray line =
            (QStringLiteral("Failed to update launch at login: ") + error + '\n').toUtf8();
        std::fwrite(line.constData(), 1, line.size(), stdout);
        std::fflush(stdout);
    }
    return ok;
}

}  // namespace sendhold
