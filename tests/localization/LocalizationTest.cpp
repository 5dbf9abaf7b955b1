#include <gtest/gtest.h>

#include "QtPrinters.h"
#include "localization/Localization.h"

using namespace sendhold;

namespace {

// A fixed list of preferred languages whose reads are counted; the system
// source comes back afterwards.
class Localization : public ::testing::Test {
  protected:
    void SetUp() override {
        setPreferredLanguagesSource([this] { return ++reads, languages; });
    }
    void TearDown() override { setPreferredLanguagesSource({}); }
    QStringList languages;
    int reads = 0;
};

// The first two user-perceived characters of the first identifier, lower-cased
// whatever the locale, read afresh at every call.
TEST_F(Localization, LanguageCodeIsTheFirstTwoCharactersOfTheFirstIdentifier) {
    EXPECT_EQ(preferredLanguageCode(), u"en");
    const std::pair<const char16_t*, const char16_t*> cases[] = {
        {u"zh-Hant-TW", u"zh"},
        {u"fil-PH", u"fi"},
        {u"IT", u"it"},
        {u"J", u"j"},
        {u"", u""},
        {u"e\u0301\u0323s-ES", u"e\u0301\u0323s"},  // a letter with its combining marks
        {u"\U0001F1EF\U0001F1F5\U0001F1EB\U0001F1F7-x",
         u"\U0001F1EF\U0001F1F5\U0001F1EB\U0001F1F7"},
    };
    for (const auto& [identifier, code] : cases) {
        languages = {QString::fromUtf16(identifier), QStringLiteral("ja")};
        EXPECT_EQ(preferredLanguageCode(), QString::fromUtf16(code));
    }
    EXPECT_EQ(reads, int(std::size(cases)) + 1);
}

TEST_F(Localization, UnknownKeysComeBackUnchangedWithoutReadingTheLanguages) {
    languages = {QStringLiteral("ja")};
    for (const char16_t* key : {u"QUIT", u"quit ", u"", u"sec\n", u"終了"})
        EXPECT_EQ(localized(QString::fromUtf16(key)), QString::fromUtf16(key));
    EXPECT_EQ(reads, 0);
    EXPECT_EQ(localized(QStringLiteral("quit")), u"終了");
}

}  // namespace
