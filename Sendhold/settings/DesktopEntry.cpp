#include "DesktopEntry.h"

#include <QStringList>

namespace sendhold {

QString execArgument(const QString& argument) {
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    bool needsQuotes = argument.isEmpty();
    for (QChar c : argument)
        if (reserved.contains(c)) needsQuotes = true;
    QString out;
    if (needsQuotes) out += QLatin1Char('"');
    for (QChar c : argument) {
        if (needsQuotes && (c == QLatin1Char('"') || c == QLatin1Char('`') ||
                            c == QLatin1Char('$') || c == QLatin1Char('\\')))
            out += QLatin1Char('\\');
        if (c == QLatin1Char('%')) out += QLatin1Char('%');
        out += c;
    }
    if (needsQuotes) out += QLatin1Char('"');
    return out;
}

QString escapeDesktopString(const QString& value) {
    QString out;
    for (QChar c : value) {
        switch (c.unicode()) {
            case '\\':
                out += QStringLiteral("\\\\");
                break;
            case '\n':
                out += QStringLiteral("\\n");
                break;
            case '\t':
                out += QStringLiteral("\\t");
                break;
            case '\r':
                out += QStringLiteral("\\r");
                break;
            default:
                out += c;
        }
    }
    return out;
}

QHash<QString, QString> desktopEntryGroup(const QByteArray& contents) {
    QHash<QString, QString> keys;
    bool inEntryGroup = false;
    for (const QString& rawLine : QString::fromUtf8(contents).split(QLatin1Char('\n'))) {
        const QString line = rawLine.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#'))) continue;
        if (line.startsWith(QLatin1Char('['))) {
            inEntryGroup = line == QStringLiteral("[Desktop Entry]");
            continue;
        }
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (!inEntryGroup || equals <= 0) continue;
        keys.insert(line.left(equals).trimmed(), line.mid(equals + 1).trimmed());
    }
    return keys;
}

}  // namespace sendhold
