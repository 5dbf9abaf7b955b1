#include <gtest/gtest.h>

#include <cmath>

#include "service/ControlProtocol.h"

namespace sendhold::control {
namespace {

const ClientLine malformed = LineError::Malformed;

TEST(ControlProtocol, ParsesClientLinesStrictly) {
    const auto msg = [](ClientMessage m) { return ClientLine{m}; };
    const std::string longest = "DURATION 0." + std::string(51, '0') + "5";  // 63 bytes
    const struct {
        std::string line;
        ClientLine expected;
    } cases[] = {
        {"DURATION absent", msg(Duration{})},
        {"DURATION -1e3", msg(Duration{-1000})},
        {longest, msg(Duration{5e-52})},
        {longest + "1", LineError::TooLong},
        {"COMPOSITION none pending", msg(Composition{false, true})},
    };
    for (const auto& c : cases) EXPECT_EQ(parseClientLine(c.line), c.expected) << c.line;
    using namespace std::literals;
    for (std::string_view bad : std::initializer_list<std::string_view>{
             "", "HELLO -1", "HELLO 1 ", " GUARD on", "GUARD  on", "guard on", "GUARD on\r",
             "GUARD on\0"sv, "GUARD \xc3\xa9", "DURATION 1,5", "DURATION +1", "DURATION 1e999",
             "COMPOSITION pending", "STATUS guarding"})
        EXPECT_EQ(parseClientLine(bad), malformed) << bad;
    auto nan = std::get<ClientMessage>(parseClientLine("DURATION nan"));
    EXPECT_TRUE(std::isnan(*std::get<Duration>(nan).stored));
    EXPECT_EQ(encode(Duration{0.1 + 0.2}), "DURATION 0.30000000000000004\n");
}

TEST(ControlProtocol, ServiceLinesRoundTripWithReasonsMadeFit) {
    const struct {
        ServiceMessage message;
        std::string line;
    } cases[] = {
        {Status{StatusKind::Guarding, {}}, "STATUS guarding"},
        {Status{StatusKind::NoKeyboards, "no keyboard"}, "STATUS no-keyboards no keyboard"},
        {Status{StatusKind::Standby, " a  newer\tclient "}, "STATUS standby a newer?client"},
        {Refused{""}, "REFUSED -"},
        {Refused{std::string(80, 'x')}, "REFUSED " + std::string(55, 'x')},
    };
    for (const auto& c : cases) EXPECT_EQ(encode(c.message), c.line + "\n");
}

}  // namespace
}  // namespace sendhold::control
