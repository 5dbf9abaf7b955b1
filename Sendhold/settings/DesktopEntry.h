#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

namespace sendhold {

// One argument of an Exec line, quoted when it holds a reserved character and
// with '%' doubled, as the Desktop Entry format asks. The result is still to be
// escaped as a string value (escapeDesktopString).
QString execArgument(const QString& argument);

// A string value escaped for a desktop file: backslash, newline, tab and
// carriage return become \\, \n, \t and \r.
QString escapeDesktopString(const QString& value);

// The keys of the [Desktop Entry] group with their raw values (a later
// duplicate wins). Comments, other groups and malformed lines are skipped.
QHash<QString, QString> desktopEntryGroup(const QByteArray& contents);

}  // namespace sendhold
