#include <gtest/gtest.h>

#include <cmath>

#include "service/ControlProtocol.h"

namespace sendhold::control {
namespace {

const auto malformed = ClientLine{LineError::Malformed};
ClientLine msg(ClientMessage m) {
    return ClientLine{m};
}

TEST(ControlProtocol, ParsesClientLinesStrictly) {
    const std::string longest = "DURATION 0." + std::string(51, '0') + "5";  // 63 bytes
    const struct {
        std::string line;
        ClientLine expected;
    } cases[] = {
        {"HELLO 1", msg(Hello{1})},
        {"HELLO 7", msg(Hello{7})},
        {"GUARD on", msg(Guard{true})},
        {"GUARD off", msg(Guard{false})},
        {"DURATION absent", msg(Duration{})},
        {"DURATION 0.25", msg(Duration{0.25})},
        {"DURATION -1e3", msg(Duration{-1000})},
        {longest, msg(Duration{5e-52})},
        {longest + "1", ClientLine{LineError::TooLong}},
        {"COMPOSITION none", msg(Composition{false, false})},
        {"COMPOSITION active pending", msg(Composition{true, true})},
        {"COMPOSITION none pending", msg(Composition{false, true})},
        {"", malformed},
        {"HELLO", malformed},
        {"HELLO -1", malformed},
        {"HELLO 1 ", malformed},
        {" HELLO 1", malformed},
        {"GUARD  on", malformed},
        {"guard on", malformed},
        {"GUARD on\r", malformed},
        {"GUARD o\tn", malformed},
        {std::string("GUARD on\0", 9), malformed},
        {"GUARD \xc3\xa9", malformed},
        {"DURATION 1,5", malformed},
        {"DURATION 0.4s", malformed},
        {"DURATION +1", malformed},
        {"DURATION 1e999", malformed},
        {"COMPOSITION active later", malformed},
        {"COMPOSITION pending", malformed},
        {"STATUS guarding", malformed},
    };
    for (const auto& c : cases) EXPECT_EQ(parseClientLine(c.line), c.expected) << c.line;
    auto nan = parseClientLine("DURATION nan");
    EXPECT_TRUE(std::isnan(*std::get<Duration>(std::get<ClientMessage>(nan)).stored));
}

TEST(ControlProtocol, ClientLinesRoundTrip) {
    for (ClientMessage m :
         {ClientMessage{Hello{1}}, ClientMessage{Guard{false}}, ClientMessage{Duration{0.1 + 0.2}},
          ClientMessage{Duration{}}, ClientMessage{Duration{-2.2250738585072014e-308}},
          ClientMessage{Composition{true, true}}}) {
        std::string line = encode(m);
        ASSERT_EQ(line.back(), '\n');
        line.pop_back();
        EXPECT_EQ(parseClientLine(line), msg(m)) << line;
    }
}

TEST(ControlProtocol, ServiceLinesRoundTripWithReasonsMadeFit) {
    const std::string tooLong(80, 'x');
    const struct {
        ServiceMessage message;
        std::string line;
    } cases[] = {
        {Status{StatusKind::Guarding, {}}, "STATUS guarding"},
        {Status{StatusKind::NoKeyboards, "no keyboard"}, "STATUS no-keyboards no keyboard"},
        {Status{StatusKind::Standby, " a  newer\tclient "}, "STATUS standby a newer?client"},
        {Refused{""}, "REFUSED -"},
        {Refused{tooLong}, "REFUSED " + tooLong.substr(0, 55)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(encode(c.message), c.line + "\n");
        EXPECT_TRUE(std::holds_alternative<ServiceMessage>(parseServiceLine(c.line))) << c.line;
    }
    EXPECT_EQ(parseServiceLine("REFUSED not the active session"),
              ServiceLine{Refused{"not the active session"}});
    for (const char* bad : {"STATUS guarding now", "STATUS standby", "REFUSED", "STATUS  x"})
        EXPECT_EQ(parseServiceLine(bad), ServiceLine{LineError::Malformed}) << bad;
}

TEST(ControlProtocol, ReaderSplitsChunksAndFailsAtOnceOnALongLine) {
    LineReader reader;
    std::vector<std::string> lines;
    EXPECT_TRUE(reader.feed("GUARD o", lines));
    EXPECT_TRUE(reader.feed("n\nHELLO 1\nDUR", lines));
    EXPECT_EQ(lines, (std::vector<std::string>{"GUARD on", "HELLO 1"}));
    EXPECT_TRUE(reader.feed(std::string(60, 'A'), lines));  // 63 bytes so far
    EXPECT_FALSE(reader.feed("A", lines));                  // no end in sight
    EXPECT_FALSE(reader.feed("\nHELLO 1\n", lines));
    EXPECT_EQ(lines.size(), 2u);
    LineReader exact;
    EXPECT_TRUE(exact.feed(std::string(63, 'A') + "\n", lines));
    EXPECT_EQ(lines.back().size(), 63u);
}

}  // namespace
}  // namespace sendhold::control
