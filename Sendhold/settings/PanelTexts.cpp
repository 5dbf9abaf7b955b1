#include "PanelTexts.h"

#include <charconv>

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
    // Rounded as printf's "%.1f" rounds the exact binary value (0.25 gives 0.2,
    // where QString::number rounds ties away from zero), but always with a point:
    // to_chars ignores the locale.
    char digits[32];
    const auto [end, error] =
        std::to_chars(digits, digits + sizeof digits, duration, std::chars_format::fixed, 1);
    const QString number =
        error == std::errc() ? QString::fromLatin1(digits, end - digits) : QStringLiteral("?");
    return localized(QStringLiteral("current_setting")) + QLatin1Char(' ') + number +
           QLatin1Char(' ') + localized(QStringLiteral("sec"));
}

QString launchAtLoginLabelText(bool launchAtLogin) {
    return localized(QStringLiteral("launch_at_login")) + QStringLiteral(" (") +
           stateWord(launchAtLogin) + QLatin1Char(')');
}

}  // namespace sendhold
