#pragma once
// Stand-in until the localization branch is merged.
#include <QString>
#include <QStringList>
#include <functional>
namespace sendhold {
QString localized(const QString& key);
QString preferredLanguageCode();
void setPreferredLanguagesSource(std::function<QStringList()> source);
}  // namespace sendhold
