#include <QLocale>
#include <QTextBoundaryFinder>

#include "Localization.h"

namespace sendhold {
namespace {

QStringList systemLanguages() {
    // On Linux Qt derives this from LANGUAGE (split on ':'), else LC_ALL, LC_MESSAGES, LANG.
    return QLocale::system().uiLanguages();
}

PreferredLanguagesSource& currentSource() {
    static PreferredLanguagesSource source = systemLanguages;
    return source;
}

// The first `count` grapheme clusters of `text`, or all of it when it is shorter. Cutting by
// code units would split a base letter from its combining mark or an emoji sequence.
QString firstGraphemes(const QString& text, int count) {
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype end = 0;
    for (int i = 0; i < count; ++i) {
        const qsizetype next = finder.toNextBoundary();
        if (next < 0) break;
        end = next;
    }
    return text.left(end);
}

}  // namespace

void setPreferredLanguagesSource(PreferredLanguagesSource source) {
    currentSource() = source ? std::move(source) : PreferredLanguagesSource(systemLanguages);
}

QString preferredLanguageCode() {
    const QStringList languages = currentSource()();
    // Only the most preferred identifier counts: a later one is never a fallback.
    const QString first = languages.isEmpty() ? QStringLiteral("en") : languages.first();
    // No subtag parsing: "fil-PH" gives "fi", "zh-Hant-TW" gives "zh".
    // QString::toLower applies the default Unicode mapping, whatever the locale.
    return firstGraphemes(first, 2).toLower();
}

}  // namespace sendhold
