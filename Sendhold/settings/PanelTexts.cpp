#include "PanelTexts.h"

#include "localization/Localization.h"

namespace sendhold {
namespace {

QString stateWord(bool on) {
    return localized(on ? QStringLiteral("state_on") : QStringLiteral("state_off"));
}

}  // namespace

QString enabledLabelText(bool isEnabled) {
    return QStringLiteral("Sendhold: ") + stateWord(isEnabled);
}

QString currentSettingText(double duration) {
    // QString::number never uses the locale: always a point.
    return localized(QStringLiteral("current_setting")) + QLatin1Char(' ') +
           QString::number(duration, 'f', 1) + QLatin1Char(' ') + localized(QStringLiteral("sec"));
}

QString launchAtLoginLabelText(bool launchAtLogin) {
    return localized(QStringLiteral("launch_at_login")) + QStringLiteral(" (") +
           stateWord(launchAtLogin) + QLatin1Char(')');
}

}  // namespace sendhold
