#include <QLocale>

#include "LanguageSource.h"

using sendhold::preferredLanguageCode;

namespace {

using LanguageChoiceTest = FakeLanguagesTest;

TEST_F(LanguageChoiceTest, EmptyListGivesEnglishCode) {
    use({});
    EXPECT_EQ(preferredLanguageCode(), u"en");
    EXPECT_EQ(sendhold::localized(QStringLiteral("quit")), u"Quit");
}

TEST_F(LanguageChoiceTest, OnlyTheMostPreferredIdentifierCounts) {
    use({QStringLiteral("ru-RU"), QStringLiteral("de-DE")});
    EXPECT_EQ(preferredLanguageCode(), u"ru");
    EXPECT_EQ(sendhold::localized(QStringLiteral("quit")), u"Quit");
}

// The cut is by position, two user-perceived characters, with no subtag parsing.
TEST_F(LanguageChoiceTest, KeepsFirstTwoCharactersInLowerCase) {
    const struct {
        const char16_t* identifier;
        const char16_t* code;
    } cases[] = {
        {u"en-US", u"en"},
        {u"ja-JP", u"ja"},
        {u"zh-Hant-TW", u"zh"},
        {u"es-419", u"es"},
        {u"fil-PH", u"fi"},
        {u"yue-Hant", u"yu"},
        {u"pt_BR", u"pt"},
        {u"EN-US", u"en"},
        {u"IT", u"it"},  // default mapping: never a dotless i, whatever the locale
        {u"J", u"j"},
        {u"", u""},
        {u"C", u"c"},
        {u"\u00C9S-x", u"\u00E9s"},
        // A base letter and its combining marks are one character.
        {u"e\u0301s-ES", u"e\u0301s"},
        {u"a\u0308\u0323bc", u"a\u0308\u0323b"},
        // Emoji sequences: skin tone modifier, ZWJ family, regional-indicator flag.
        {u"\U0001F44D\U0001F3FDja", u"\U0001F44D\U0001F3FDj"},
        {u"\U0001F468\u200D\U0001F469\u200D\U0001F467xy",
         u"\U0001F468\u200D\U0001F469\u200D\U0001F467x"},
        {u"\U0001F1EF\U0001F1F5\U0001F1EB\U0001F1F7-x",
         u"\U0001F1EF\U0001F1F5\U0001F1EB\U0001F1F7"},
        // A lone surrogate-pair character shorter than two characters is kept whole.
        {u"\U0001F600", u"\U0001F600"},
        // Hangul jamo that compose one syllable.
        {u"\u1100\u1161\u11A8k", u"\u1100\u1161\u11A8k"},
    };
    for (const auto& c : cases) {
        use({QString::fromUtf16(c.identifier)});
        EXPECT_EQ(preferredLanguageCode(), QString::fromUtf16(c.code))
            << QString::fromUtf16(c.identifier).toStdString();
    }
}

TEST_F(LanguageChoiceTest, ReadsTheLanguagesAfreshAtEveryCall) {
    use({QStringLiteral("ja-JP")});
    EXPECT_EQ(preferredLanguageCode(), u"ja");
    use({QStringLiteral("fr-FR")});
    EXPECT_EQ(preferredLanguageCode(), u"fr");
    EXPECT_EQ(reads, 2);
}

TEST(LanguageSourceTest, EmptySourceRestoresTheSystemList) {
    sendhold::setPreferredLanguagesSource([] { return QStringList{QStringLiteral("ko")}; });
    ASSERT_EQ(preferredLanguageCode(), u"ko");
    sendhold::setPreferredLanguagesSource({});
    QStringList system = QLocale::system().uiLanguages();
    const QString expected = system.isEmpty() ? QStringLiteral("en") : system.first();
    EXPECT_TRUE(expected.startsWith(preferredLanguageCode(), Qt::CaseInsensitive));
}

}  // namespace
