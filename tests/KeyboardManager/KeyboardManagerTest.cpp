#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "Diagnostics.h"
#include "KeyboardManager/KeyboardManager.h"
#include "Replay.h"
#include "VirtualTime.h"

namespace sendhold {
namespace {

struct FakeTap final : EventTap {
    bool allow = true;
    int creates = 0, enables = 0;
    bool create() override { return ++creates, allow; }
    void enable() override { ++enables; }
};

TEST(KeyboardManager, StartsMonitoringOnceAndRetriesAfterARefusal) {
    auto tap = std::make_shared<FakeTap>();
    tap->allow = false;
    std::ostringstream out;
    diagnosticStreams().status = &out;
    KeyboardManager m({.tap = tap});
    m.startMonitoring();
    EXPECT_EQ(m.eventTap, nullptr);
    tap->allow = true;
    m.startMonitoring();
    m.startMonitoring();
    EXPECT_EQ(out.str(), "権限エラー\n監視スタート\n");
    EXPECT_EQ(tap->creates, 2);
    EXPECT_EQ(tap->enables, 1);
    EXPECT_EQ(m.runLoopSource, tap);
    KeyboardManager().startMonitoring();
    EXPECT_EQ(out.str(), "権限エラー\n監視スタート\n権限エラー\n");
    diagnosticStreams().status = &std::cout;
    KeyEvent other{38, 0, 0};  // the hook's callback reaches the shared guard
    EXPECT_EQ(KeyboardManager::eventTapCallback(nullptr, kEventTypeKeyDown, &other, nullptr),
              &other);
}

// Fails to make the event `failing`; records what is posted.
struct RecordingPoster final : EventPoster {
    std::pair<std::int64_t, bool> failing{-1, false};
    std::vector<std::pair<std::int64_t, bool>> posted;
    std::optional<PostedKeyEvent> createKeyboardEvent(std::int64_t code, bool down) override {
        if (failing == std::pair(code, down)) return std::nullopt;
        return EventPoster::createKeyboardEvent(code, down);
    }
    void post(const PostedKeyEvent& e) override { posted.emplace_back(e.keyCode, e.keyDown); }
};

TEST(KeyboardManager, EventsThatCannotBeMadeAreSkippedAndThePressStillEnds) {
    auto clock = std::make_shared<VirtualClock>();
    auto timers = std::make_shared<VirtualTimerScheduler>(clock);
    auto poster = std::make_shared<RecordingPoster>();
    poster->failing = {kKeyCodeReturn, true};
    KeyboardManager m{{.clock = clock, .timers = timers, .poster = poster}};
    KeyEvent e{kKeyCodeReturn, 0, 0};
    m.handleEvent(kEventTypeKeyDown, &e);
    m.handleEvent(kEventTypeKeyUp, &e);
    EXPECT_EQ(poster->posted, (decltype(poster->posted){{56, true}, {36, false}, {56, false}}));
    EXPECT_FALSE(m.enterPressStartTime);
    {  // A manager going away cancels its pending timer.
        KeyboardManager doomed{{.clock = clock, .timers = timers, .poster = poster}};
        doomed.handleEvent(kEventTypeKeyDown, &e);
        EXPECT_EQ(timers->pendingCount(), 1u);
    }
    EXPECT_EQ(timers->pendingCount(), 0u);
}

// Every numeric field is parsed whole: trailing junk (an embedded NUL too), signs,
// spaces and other bases are refused, with the line's number.
TEST(ReplayTool, MalformedLinesStopTheRunWithTheirLineNumber) {
    using namespace std::string_literals;
    std::istringstream bad(
        "0 down|0 down 36 flags=20000|0 down 36 data=x|0 jump 36|x down 36|0 enabled maybe|"
        "0 duration|0 down 36 extra|0 end now|0 down 36\0junk|0 down +36|0 down 0x24|"
        "0 down 36 flags=0x-1|0 down 36 data=1e3|0x1 down 36|0 duration 1.0s|"
        "0 other 4294967296 36|0 other 10 36\0|0 down 99999999999999999999|-1 up 38"s);
    for (std::string line; std::getline(bad, line, '|');) {
        std::istringstream in("# ok\n\n0 down 38\n" + line + "\n");
        std::ostringstream out, err;
        EXPECT_EQ(runReplay(in, out, err), 2) << line;
        EXPECT_NE(err.str().find("line 4"), std::string::npos) << line << err.str();
    }
}

}  // namespace
}  // namespace sendhold
