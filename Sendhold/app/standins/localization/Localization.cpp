#include "localization/Localization.h"
#include <QLocale>
namespace sendhold {
static std::function<QStringList()>& source() {
    static std::function<QStringList()> s = [] { return QLocale::system().uiLanguages(); };
    return s;
}
void setPreferredLanguagesSource(std::function<QStringList()> s) { source() = std::move(s); }
QString preferredLanguageCode() {
    const QStringList l = source()();
    return l.isEmpty() ? QStringLiteral("en") : l.first().left(2);
}
QString localized(const QString& key) {
    const bool ja = preferredLanguageCode() == QLatin1String("ja");
    if (key == QLatin1String("quit")) return ja ? QStringLiteral("終了") : QStringLiteral("Quit");
    if (key == QLatin1String("settings"))
        return ja ? QStringLiteral("設定...") : QStringLiteral("Settings...");
    return key;
}
}  // namespace sendhold
