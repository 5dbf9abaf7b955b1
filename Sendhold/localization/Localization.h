#pragma once

#include <QString>
#include <QStringList>
#include <functional>

namespace sendhold {

// Where the ordered list of preferred language identifiers comes from (most preferred first).
using PreferredLanguagesSource = std::function<QStringList()>;

// Replaces the source; an empty function restores the default, QLocale::system().uiLanguages().
void setPreferredLanguagesSource(PreferredLanguagesSource source);

// The first two user-perceived characters of the most preferred language identifier, in lower
// case ("en" when the list is empty). Reads the source afresh at every call.
QString preferredLanguageCode();

// The text of a UI string key in the preferred language, English when the language has no texts
// of its own. A key the table does not hold comes back unchanged, without reading the languages.
QString localized(const QString& key);

}  // namespace sendhold
