#include <gtest/gtest.h>

#include <sstream>

#include "Replay.h"

namespace sendhold {
namespace {

struct Result {
    int status;
    std::string out;
    std::string err;
};

Result replay(const std::string& trace) {
    std::istringstream in(trace);
    std::ostringstream out, err;
    const int status = runReplay(in, out, err);
    return {status, out.str(), err.str()};
}

TEST(ReplayTool, PrintsTheShortPressAsDocumented) {
    const Result r = replay("0.000 down 36\n0.150 up 36\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "0.000 drop down 36\n"
              "0.150 post down 56 data=55555\n"
              "0.150 post down 36 flags=0x20000 data=55555\n"
              "0.150 post up 36 flags=0x20000 data=55555\n"
              "0.150 post up 56 data=55555\n"
              "0.150 drop up 36\n");
}

TEST(ReplayTool, MalformedLinesStopTheRunWithTheirLineNumber) {
    const char* bad[] = {
        "0 down\n",          "0 down 36 flags=20000\n", "0 down 36 data=x\n", "0 jump 36\n",
        "x down 36\n",       "0 enabled maybe\n",       "0 other 4294967296 36\n",
        "0 duration\n",      "0 down 36 extra\n",       "0 end now\n",
    };
    for (const char* line : bad) {
        const Result r = replay(std::string("# ok\n\n") + line);
        EXPECT_EQ(r.status, 2) << line;
        EXPECT_NE(r.err.find("line 3"), std::string::npos) << line << r.err;
    }
}

TEST(ReplayTool, TimeMustNotGoBackwards) {
    const Result r = replay("1.0 down 38\n0.5 up 38\n");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "1.000 pass down 38\n");
    EXPECT_NE(r.err.find("line 2"), std::string::npos);
}

TEST(ReplayTool, EndStopsReadingAndFiresTimersDueExactlyThen) {
    const Result r = replay("0 down 36\n0.4 end\n0.5 garbage\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "0.000 drop down 36\n"
              "0.400 post down 36 data=55555\n"
              "0.400 post up 36 data=55555\n");
}

}  // namespace
}  // namespace sendhold
