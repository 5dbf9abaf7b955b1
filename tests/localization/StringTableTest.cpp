#include <QChar>

#include "LanguageSource.h"

using sendhold::localized;

namespace {

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

class StringTableTest : public FakeLanguagesTest {
  protected:
    QString text(const char* key, const char* code) {
        use({QString::fromLatin1(code)});
        return localized(QString::fromLatin1(key));
    }
};

// The rules every text follows, checked over every cell so that a stray character pasted into
// one translation is caught without listing each text twice.
TEST_F(StringTableTest, EveryCellFollowsTheRulesOfForm) {
    for (const char* code : kCodes) {
        for (const char* key : kKeys) {
            const QString t = text(key, code);
            const QString where = QString::fromLatin1(code) + u'/' + QString::fromLatin1(key);
            SCOPED_TRACE(where.toStdString());
            ASSERT_FALSE(t.isEmpty());
            EXPECT_NE(t, QString::fromLatin1(key)) << "key missing from the table";
            EXPECT_EQ(t, t.trimmed());
            EXPECT_EQ(t, t.normalized(QString::NormalizationForm_C));
            for (QChar ch : t) {
                // Only ordinary spaces; no invisible format characters (zero-width space, BOM).
                EXPECT_TRUE(!ch.isSpace() || ch == u' ') << "U+" << std::hex << int(ch.unicode());
                EXPECT_NE(ch.category(), QChar::Other_Format)
                    << "U+" << std::hex << int(ch.unicode());
                EXPECT_FALSE(ch.isNonCharacter());
            }
            EXPECT_FALSE(t.contains(u'\u2026'));  // ellipsis character
            EXPECT_FALSE(t.contains(u'\uFF1A'));  // full-width colon
            EXPECT_FALSE(t.contains(u'\uFE55'));  // small colon
            EXPECT_FALSE(t.contains(u'\uFF08'));  // full-width parenthesis
            EXPECT_FALSE(t.contains(u"  "));
            const QString k = QString::fromLatin1(key);
            if (k == u"status_on" || k == u"status_off") {
                EXPECT_TRUE(t.startsWith(u"Sendhold: "));
            } else {
                EXPECT_FALSE(t.contains(u"Sendhold"));
            }
            if (k == u"settings") {
                EXPECT_TRUE(t.endsWith(u"...") && !t.endsWith(u"...."));
                EXPECT_NE(t.at(t.size() - 4), u' ');
            }
            if (k == u"note") {
                EXPECT_TRUE(t.startsWith(isCjk(QString::fromLatin1(code)) ? u"\u203B " : u"* "));
                EXPECT_NE(t.at(2), u' ');
            }
            if (k == u"fast") {
                EXPECT_TRUE(t.endsWith(u" (0.2s)"));
            }
            if (k == u"slow") {
                EXPECT_TRUE(t.endsWith(u" (1.0s)"));
            }
        }
    }
}

// Exact texts from every column, so that a shifted or mistyped column shows up.
TEST_F(StringTableTest, ExactTextsFromEveryColumn) {
    const struct {
        const char* code;
        const char* key;
        const char16_t* text;
    } cases[] = {
        {"ja", "quit", u"終了"},
        {"ja", "launch_at_login", u"Mac起動時に自動開始"},
        {"ja", "current_setting", u"現在の設定:"},
        {"zh", "status_on", u"Sendhold: 已启用"},
        {"zh", "note", u"※ 设置将立即生效"},
        {"fr", "current_setting", u"Réglage actuel :"},
        {"fr", "pref_title", u"Sensibilité de l'appui long"},
        {"it", "launch_at_login", u"Apri all'avvio"},
        {"es", "fast", u"Rápido (0.2s)"},
        {"de", "pref_title", u"Empfindlichkeit"},
        {"de", "note", u"* Einstellung wird sofort wirksam"},
        {"nl", "quit", u"Stoppen"},
        {"sv", "state_on", u"På"},
        {"da", "settings", u"Indstillinger..."},
        {"nb", "current_setting", u"Nåværende:"},
        {"ko", "note", u"※ 설정은 즉시 반영됩니다"},
        {"ko", "slow", u"느림 (1.0s)"},
        {"pt", "status_off", u"Sendhold: Inativo"},
        {"pt", "state_off", u"Desligado"},
        {"en", "pref_title", u"Long Press Sensitivity"},
        {"en", "note", u"* Setting takes effect immediately"},
        {"xx", "settings", u"Settings..."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(text(c.key, c.code), QString::fromUtf16(c.text)) << c.code << '/' << c.key;
    }
}

TEST_F(StringTableTest, NorwegianCodesShareOneColumn) {
    for (const char* key : kKeys) {
        EXPECT_EQ(text(key, "no"), text(key, "nb")) << key;
        if (QLatin1String(key) != QLatin1String("sec")) {
            EXPECT_NE(text(key, "nb"), text(key, "en")) << key;
        }
    }
    use({QStringLiteral("nb-NO")});
    EXPECT_EQ(localized(QStringLiteral("quit")), u"Avslutt");
    use({QStringLiteral("nn-NO")});
    EXPECT_EQ(localized(QStringLiteral("quit")), u"Quit");
}

TEST_F(StringTableTest, SecondsUnitHasAWordOnlyInJapaneseChineseAndKorean) {
    for (const char* code : kCodes) {
        const QString c = QString::fromLatin1(code);
        const QString expected = c == u"ko" ? QStringLiteral("초")
                                 : isCjk(c) ? QStringLiteral("秒")
                                            : QStringLiteral("s");
        EXPECT_EQ(text("sec", code), expected) << code;
    }
}

TEST_F(StringTableTest, UnknownKeysComeBackUnchangedWithoutReadingTheLanguages) {
    use({QStringLiteral("ja")});
    for (const char16_t* key : {u"QUIT", u"quit ", u" quit", u"Quit", u"", u"state", u"sec\n",
                                u"launch-at-login", u"終了"}) {
        EXPECT_EQ(localized(QString::fromUtf16(key)), QString::fromUtf16(key));
    }
    EXPECT_EQ(reads, 0);
    EXPECT_EQ(localized(QStringLiteral("quit")), u"終了");
    EXPECT_EQ(reads, 1);
}

TEST_F(StringTableTest, LanguageChangeBetweenLookupsTakesEffect) {
    use({QStringLiteral("de-DE")});
    EXPECT_EQ(localized(QStringLiteral("state_on")), u"Ein");
    use({QStringLiteral("ko-KR")});
    EXPECT_EQ(localized(QStringLiteral("state_on")), u"켜짐");
    use({});
    EXPECT_EQ(localized(QStringLiteral("state_on")), u"On");
}

}  // namespace
