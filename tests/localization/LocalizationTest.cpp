#include <gtest/gtest.h>

#include <ostream>

#include "Localization.h"

using sendhold::localized;
using sendhold::preferredLanguageCode;

// Failure messages show texts as UTF-8 rather than as raw bytes.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace {

// Feeds a fixed list of preferred languages and counts its reads; the system source comes back
// afterwards so no test leaks its languages into another.
class FakeLanguages : public ::testing::Test {
  protected:
    void SetUp() override {
        sendhold::setPreferredLanguagesSource([this] {
            ++reads;
            return languages;
        });
    }
    void TearDown() override { sendhold::setPreferredLanguagesSource({}); }
    QString text(const char* key, const char* language) {
        languages = {QString::fromLatin1(language)};
        return localized(QString::fromLatin1(key));
    }

    QStringList languages;
    int reads = 0;
};
using LanguageChoiceTest = FakeLanguages;
using StringTableTest = FakeLanguages;

const char* const kKeys[] = {
    "status_on",       "status_off", "settings",        "quit", "pref_title", "fast",      "slow",
    "current_setting", "sec",        "launch_at_login", "note", "state_on",   "state_off",
};
// Every code with texts of its own, plus codes that fall back to English.
const char* const kCodes[] = {"ja", "zh", "fr", "it", "es", "de", "nl", "sv", "da",
                              "no", "nb", "ko", "pt", "en", "ru", "nn", "fi", "c"};

bool isCjk(const QString& code) {
    return code == u"ja" || code == u"zh" || code == u"ko";
}

// Only the first identifier counts ("en" when there is none); it is cut after two user-perceived
// characters by position, with no subtag parsing, and lower-cased whatever the locale. The list
// is read afresh at every call.
TEST_F(LanguageChoiceTest, FirstTwoCharactersOfTheFirstIdentifierInLowerCase) {
    EXPECT_EQ(preferredLanguageCode(), u"en");
    languages = {QStringLiteral("zh-Hant-TW"), QStringLiteral("ja-JP")};
    EXPECT_EQ(preferredLanguageCode(), u"zh");
    const struct {
        const char16_t* identifier;
        const char16_t* code;
    } cases[] = {
        {u"fil-PH", u"fi"},
        {u"EN-US", u"en"},
        {u"IT", u"it"},  // default mapping: never a dotless i
        {u"J", u"j"},
        {u"", u""},
        {u"\u00C9S-x", u"\u00E9s"},
        // A base letter and its combining marks are one character.
        {u"e\u0301\u0323s-ES", u"e\u0301\u0323s"},
        // Emoji sequences: ZWJ family, regional-indicator flags.
        {u"\U0001F468\u200D\U0001F469\u200D\U0001F467xy",
         u"\U0001F468\u200D\U0001F469\u200D\U0001F467x"},
        {u"\U0001F1EF\U0001F1F5\U0001F1EB\U0001F1F7-x",
         u"\U0001F1EF\U0001F1F5\U0001F1EB\U0001F1F7"},
        // One surrogate-pair character is kept whole; Hangul jamo compose one syllable.
        {u"\U0001F600", u"\U0001F600"},
        {u"\u1100\u1161\u11A8k", u"\u1100\u1161\u11A8k"},
    };
    for (const auto& c : cases) {
        languages = {QString::fromUtf16(c.identifier)};
        EXPECT_EQ(preferredLanguageCode(), QString::fromUtf16(c.code))
            << languages[0].toStdString();
    }
    EXPECT_EQ(reads, int(std::size(cases)) + 2);
}

// The rules every text follows, checked over every cell so that a stray character pasted into
// one translation is caught without listing each text twice.
TEST_F(StringTableTest, EveryCellFollowsTheRulesOfForm) {
    for (const char* code : kCodes) {
        for (const char* key : kKeys) {
            const QString t = text(key, code);
            const QString k = QString::fromLatin1(key);
            SCOPED_TRACE(std::string(code) + '/' + key);
            ASSERT_FALSE(t.isEmpty());
            EXPECT_NE(t, k) << "key missing from the table";
            EXPECT_EQ(t, t.trimmed());
            EXPECT_EQ(t, t.normalized(QString::NormalizationForm_C));
            EXPECT_FALSE(t.contains(u"  "));
            for (QChar ch : t) {
                // Only ordinary spaces; no invisible format characters (zero-width space, BOM);
                // no ellipsis, full-width or small colon, full-width parenthesis.
                const bool stray = (ch.isSpace() && ch != u' ') || ch.isNonCharacter() ||
                                   ch.category() == QChar::Other_Format ||
                                   QStringView(u"\u2026\uFF1A\uFE55\uFF08").contains(ch);
                EXPECT_FALSE(stray) << "U+" << std::hex << int(ch.unicode());
            }
            EXPECT_EQ(t.startsWith(u"Sendhold: "), k.startsWith(u"status_"));
            EXPECT_EQ(t.contains(u"Sendhold"), k.startsWith(u"status_"));
            EXPECT_TRUE(k != u"settings" ||
                        (t.endsWith(u"...") && !t.endsWith(u"....") && t.at(t.size() - 4) != u' '));
            if (k == u"note") {
                EXPECT_TRUE(t.startsWith(isCjk(QString::fromLatin1(code)) ? u"\u203B " : u"* "));
                EXPECT_NE(t.at(2), u' ');
            }
            EXPECT_TRUE(k != u"fast" || t.endsWith(u" (0.2s)"));
            EXPECT_TRUE(k != u"slow" || t.endsWith(u" (1.0s)"));
        }
    }
}

// Exact texts, at least one from every column, so that a shifted or mistyped column shows up.
TEST_F(StringTableTest, ExactTextsFromEveryColumn) {
    const struct {
        const char* code;
        const char* key;
        const char16_t* text;
    } cases[] = {
        {"ja", "launch_at_login", u"Mac起動時に自動開始"},
        {"zh", "note", u"※ 设置将立即生效"},
        {"fr", "current_setting", u"Réglage actuel :"},
        {"it", "launch_at_login", u"Apri all'avvio"},
        {"es", "fast", u"Rápido (0.2s)"},
        {"de", "note", u"* Einstellung wird sofort wirksam"},
        {"nl", "quit", u"Stoppen"},
        {"sv", "state_on", u"På"},
        {"da", "settings", u"Indstillinger..."},
        {"nb", "current_setting", u"Nåværende:"},
        {"ko", "slow", u"느림 (1.0s)"},
        {"pt", "status_off", u"Sendhold: Inativo"},
        {"xx", "settings", u"Settings..."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(text(c.key, c.code), QString::fromUtf16(c.text)) << c.code << '/' << c.key;
    }
}

// "no" and "nb" share one column ("nn" has none); "sec" is a word only in Japanese, Chinese and
// Korean, a Latin "s" everywhere else.
TEST_F(StringTableTest, NorwegianSharingAndTheSecondsUnit) {
    for (const char* key : kKeys) {
        EXPECT_EQ(text(key, "no"), text(key, "nb")) << key;
        EXPECT_TRUE(key == std::string("sec") || text(key, "nb") != text(key, "en")) << key;
    }
    EXPECT_EQ(text("quit", "nb-NO"), u"Avslutt");
    EXPECT_EQ(text("quit", "nn-NO"), u"Quit");
    for (const char* code : kCodes) {
        const QString c = QString::fromLatin1(code);
        EXPECT_EQ(text("sec", code), c == u"ko" ? u"초" : isCjk(c) ? u"秒" : u"s") << code;
    }
}

TEST_F(StringTableTest, UnknownKeysComeBackUnchangedWithoutReadingTheLanguages) {
    languages = {QStringLiteral("ja")};
    for (const char16_t* key : {u"QUIT", u"quit ", u" quit", u"Quit", u"", u"state", u"sec\n",
                                u"launch-at-login", u"終了"}) {
        EXPECT_EQ(localized(QString::fromUtf16(key)), QString::fromUtf16(key));
    }
    EXPECT_EQ(reads, 0);
    EXPECT_EQ(localized(QStringLiteral("quit")), u"終了");
    EXPECT_EQ(reads, 1);
}

}  // namespace
