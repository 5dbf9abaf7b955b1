#include <gtest/gtest.h>

#include "focus/FrontApplication.h"

using namespace sendhold::focus;

TEST(FrontApplication, IdsFromOtherProcessesAreTrimmedOrRefusedWhole) {
    const std::string longest(kMaxApplicationIdBytes, 'a');
    const std::pair<std::string, std::string> cases[] = {
        {" \tfirefox-esr\n", "firefox-esr"},
        {"org.gnome.Calculator", "org.gnome.Calculator"},
        {"Zoë — 日本語", "Zoë — 日本語"},
        {longest, longest},
        {longest + "a", ""},
        {"", ""},
        {"   ", ""},
        {"a,b", ""},
        {std::string("nul\0id", 6), ""},
        {"bell\a", ""},
        {"del\x7f", ""},
        {"c1\xc2\x85", ""},        // U+0085, a control character
        {"\xff\xfe", ""},          // not UTF-8
        {"\xc0\xaf", ""},          // overlong
        {"\xed\xa0\x80", ""},      // a surrogate
        {"\xf4\x90\x80\x80", ""},  // past U+10FFFF
        {"cut\xe6\x97", ""},       // a sequence cut short
    };
    for (const auto& [raw, clean] : cases) EXPECT_EQ(cleanApplicationId(raw), clean) << raw;
}

TEST(FrontApplication, OwnWindowsLeaveTheApplicationInFrontAsItWas) {
    std::vector<std::string> changes;
    FrontApplication front({"Sendhold"}, [&](const std::string& id) { changes.push_back(id); });
    for (const char* raw : {"Calc", " Calc ", "Sendhold", "Chat", "\x01", "", "Sendhold", "Calc"})
        front.report(raw);
    EXPECT_EQ(changes, (std::vector<std::string>{"Calc", "Chat", "", "Calc"}));
}
