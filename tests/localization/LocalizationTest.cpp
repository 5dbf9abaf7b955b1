#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <ostream>
#include <string>

#include "Localization.h"

using sendhold::localized;
using sendhold::preferredLanguageCode;

inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace {

// A fixed list of preferred languages whose reads are counted; the system
// source comes back afterwards.
class Localization : public ::testing::Test {
  protected:
    void SetUp() override {
        sendhold::setPreferredLanguagesSource([this] { return ++reads, languages; });
    }
    void TearDown() override { sendhold::setPreferredLanguagesSource({}); }
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

// One text from every column, so that a shifted column or a code mapped to the
// wrong one shows; "no" and "nb" share a column, "nn" has none.
TEST_F(Localization, ExactTextsFromEveryColumn) {
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
        {"de", "state_off", u"Aus"},
        {"nl", "quit", u"Stoppen"},
        {"sv", "state_on", u"På"},
        {"da", "settings", u"Indstillinger..."},
        {"nb", "current_setting", u"Nåværende:"},
        {"no", "quit", u"Avslutt"},
        {"ko", "sec", u"초"},
        {"pt", "status_off", u"Sendhold: Inativo"},
        {"zh", "sec", u"秒"},
        {"fr", "sec", u"s"},
        {"nn", "quit", u"Quit"},
        {"xx", "state_on", u"On"},
    };
    for (const auto& c : cases) {
        languages = {QString::fromLatin1(c.code)};
        EXPECT_EQ(localized(QString::fromLatin1(c.key)), QString::fromUtf16(c.text))
            << c.code << '/' << c.key;
    }
}

TEST_F(Localization, UnknownKeysComeBackUnchangedWithoutReadingTheLanguages) {
    languages = {QStringLiteral("ja")};
    for (const char16_t* key : {u"QUIT", u"quit ", u"", u"sec\n", u"終了"})
        EXPECT_EQ(localized(QString::fromUtf16(key)), QString::fromUtf16(key));
    EXPECT_EQ(reads, 0);
    EXPECT_EQ(localized(QStringLiteral("quit")), u"終了");
}

// The probe under exactly the given environment answers the code and the
// "quit" text: LANGUAGE (colon-separated) first, else LC_ALL, LC_MESSAGES, LANG.
TEST(SystemLanguage, FollowsTheLocaleEnvironment) {
    const std::pair<std::string, const char*> cases[] = {
        {"LANGUAGE=nb_NO:en LANG=en_US.UTF-8", "nb\nAvslutt\n"},
        {"LANGUAGE=de LC_ALL=C", "de\nBeenden\n"},
        {"LC_ALL=sv_SE.UTF-8 LC_MESSAGES=fr_FR.UTF-8 LANG=it_IT.UTF-8", "sv\nAvsluta\n"},
        {"LC_MESSAGES=ko_KR.UTF-8 LANG=fr_FR.UTF-8", "ko\n종료\n"},
        {"LANG=POSIX", "c\nQuit\n"},
        {"", "c\nQuit\n"},
    };
    for (const auto& [environment, expected] : cases) {
        FILE* pipe = popen(("env -i " + environment + " '" LANGUAGE_PROBE "'").c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        std::string output;
        std::array<char, 256> buffer{};
        while (fgets(buffer.data(), buffer.size(), pipe)) output += buffer.data();
        EXPECT_EQ(pclose(pipe), 0);
        EXPECT_EQ(output, expected) << environment;
    }
}

}  // namespace
