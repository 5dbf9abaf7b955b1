#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>

namespace {

// Runs the probe with exactly the given environment (nothing inherited), so the system locale
// is read from these variables alone; returns its two output lines.
std::string runProbe(const std::string& environment) {
    const std::string command = "env -i " + environment + " '" LANGUAGE_PROBE "'";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return "popen failed";
    std::string output;
    std::array<char, 256> buffer{};
    while (fgets(buffer.data(), buffer.size(), pipe)) output += buffer.data();
    const int status = pclose(pipe);
    return status == 0 ? output : output + "exit status " + std::to_string(status);
}

// The system list: LANGUAGE (colon-separated) first, else LC_ALL, LC_MESSAGES, LANG.
TEST(SystemLanguageTest, FollowsTheLocaleEnvironment) {
    const struct {
        const char* environment;
        const char* output;
    } cases[] = {
        {"LANGUAGE=nb_NO:en LANG=en_US.UTF-8", "nb\nAvslutt\n"},
        {"LANGUAGE=de LC_ALL=C", "de\nBeenden\n"},
        {"LC_ALL=sv_SE.UTF-8 LC_MESSAGES=fr_FR.UTF-8 LANG=it_IT.UTF-8", "sv\nAvsluta\n"},
        {"LC_MESSAGES=ko_KR.UTF-8 LANG=fr_FR.UTF-8", "ko\n종료\n"},
        {"LANG=POSIX", "c\nQuit\n"},
        {"", "c\nQuit\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(runProbe(c.environment), c.output) << c.environment;
    }
}

}  // namespace
