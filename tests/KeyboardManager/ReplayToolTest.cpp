#include <gtest/gtest.h>

#include <sstream>

#include "Replay.h"

namespace sendhold {
namespace {

int replay(const std::string& trace, std::string* out = nullptr, std::string* err = nullptr) {
    std::istringstream in(trace);
    std::ostringstream o, e;
    const int status = runReplay(in, o, e);
    if (out) *out = o.str();
    if (err) *err = e.str();
    return status;
}

// Every numeric field is parsed whole: trailing junk (an embedded NUL too), signs,
// spaces and other bases are refused, with the line's number.
TEST(ReplayTool, MalformedLinesStopTheRunWithTheirLineNumber) {
    using namespace std::string_literals;
    const std::string bad[] = {
        "0 down\n",
        "0 down 36 flags=20000\n",
        "0 down 36 data=x\n",
        "0 jump 36\n",
        "x down 36\n",
        "0 enabled maybe\n",
        "0 duration\n",
        "0 down 36 extra\n",
        "0 end now\n",
        "0 down 36\0junk\n"s,
        "0 down +36\n",
        "0 down 0x24\n",
        "0 down 36 flags=0x-1\n",
        "0 down 36 data=1e3\n",
        "0x1 down 36\n",
        "0 duration 1.0s\n",
        "0 other 4294967296 36\n",
        "0 other 10 36\0\n"s,
        "0 down 99999999999999999999\n",
        "-1 up 38\n",
    };
    for (const std::string& line : bad) {
        std::string err;
        EXPECT_EQ(replay("# ok\n\n0 down 38\n" + line, nullptr, &err), 2) << line;
        EXPECT_NE(err.find("line 4"), std::string::npos) << line << err;
    }
}

TEST(ReplayTool, EndStopsReadingAndFiresTimersDueExactlyThen) {
    std::string out;
    EXPECT_EQ(replay("0 down 36\n0.4 end\n0.5 garbage\n", &out), 0);
    EXPECT_EQ(out,
              "0.000 drop down 36\n0.400 post down 36 data=55555\n0.400 post up 36 data=55555\n");
}

}  // namespace
}  // namespace sendhold
