#include <gtest/gtest.h>

#include <map>

#include "IBusAddress.h"

namespace sendhold::ime {
namespace {

std::optional<std::string> pathFor(std::map<std::string, std::string> vars) {
    return ibusAddressFilePath(
        [&](const char* name) -> const char* {
            auto it = vars.find(name);
            return it == vars.end() ? nullptr : it->second.c_str();
        },
        "abc123");
}

TEST(IBusAddress, FileNamedLikeIBusClientsNameIt) {
    EXPECT_EQ(pathFor({{"HOME", "/home/u"}, {"DISPLAY", ":1"}}),
              "/home/u/.config/ibus/bus/abc123-unix-1");
    EXPECT_EQ(pathFor({{"HOME", "/home/u"}, {"DISPLAY", "host:10.2"}}),
              "/home/u/.config/ibus/bus/abc123-host-10");
    EXPECT_EQ(pathFor({{"HOME", "/h"}, {"XDG_CONFIG_HOME", "/cfg"}, {"DISPLAY", ":0"}}),
              "/cfg/ibus/bus/abc123-unix-0");
    EXPECT_EQ(pathFor({{"HOME", "/h"}, {"WAYLAND_DISPLAY", "wayland-0"}, {"DISPLAY", ":0"}}),
              "/h/.config/ibus/bus/abc123-wayland-0-0");
    EXPECT_EQ(pathFor({{"HOME", "/h"}}), "/h/.config/ibus/bus/abc123-unix-0");
    EXPECT_EQ(pathFor({{"HOME", "/h"}, {"IBUS_ADDRESS_FILE", "/x/y"}}), "/x/y");
    EXPECT_EQ(pathFor({{"DISPLAY", ":0"}}), std::nullopt);
}

TEST(IBusAddress, ReadsAddressAndDaemonFromTheFile) {
    const auto parsed = parseIBusAddressFile(
        "# This file is created by ibus-daemon, please do not modify it.\n"
        "IBUS_ADDRESS=unix:abstract=/tmp/x/dbus-Abc,guid=0f18\n"
        "IBUS_DAEMON_PID=8827\n");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->address, "unix:abstract=/tmp/x/dbus-Abc,guid=0f18");
    EXPECT_EQ(parsed->daemonPid, 8827);

    EXPECT_EQ(parseIBusAddressFile("IBUS_ADDRESS=unix:path=/a\r\nIBUS_DAEMON_PID=12x\n")->daemonPid,
              0);
    EXPECT_FALSE(parseIBusAddressFile(""));
    EXPECT_FALSE(parseIBusAddressFile("IBUS_ADDRESS=\nIBUS_DAEMON_PID=3\n"));
    EXPECT_FALSE(parseIBusAddressFile(std::string("\0\xff\n", 3)));
}

}  // namespace
}  // namespace sendhold::ime
