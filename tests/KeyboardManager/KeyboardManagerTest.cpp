#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "Diagnostics.h"
#include "KeyboardManager/KeyboardManager.h"
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

// Fails to make the events listed in `failing`; records what is posted.
struct RecordingPoster final : EventPoster {
    std::vector<std::pair<std::int64_t, bool>> failing;
    std::vector<std::pair<std::int64_t, bool>> posted;
    std::optional<PostedKeyEvent> createKeyboardEvent(std::int64_t code, bool down) override {
        for (const auto& f : failing)
            if (f == std::pair(code, down)) return std::nullopt;
        return EventPoster::createKeyboardEvent(code, down);
    }
    void post(const PostedKeyEvent& e) override { posted.emplace_back(e.keyCode, e.keyDown); }
};

TEST(KeyboardManager, EventsThatCannotBeMadeAreSkippedAndThePressStillEnds) {
    auto clock = std::make_shared<VirtualClock>();
    auto timers = std::make_shared<VirtualTimerScheduler>(clock);
    auto poster = std::make_shared<RecordingPoster>();
    poster->failing = {{kKeyCodeReturn, true}};
    KeyboardManager m{{.clock = clock, .timers = timers, .poster = poster}};
    KeyEvent e{kKeyCodeReturn, 0, 0};
    m.handleEvent(kEventTypeKeyDown, &e);
    m.handleEvent(kEventTypeKeyUp, &e);
    using P = std::vector<std::pair<std::int64_t, bool>>;
    EXPECT_EQ(poster->posted, (P{{56, true}, {36, false}, {56, false}}));
    EXPECT_FALSE(m.enterPressStartTime);
    {  // A manager going away cancels its pending timer.
        KeyboardManager doomed{{.clock = clock, .timers = timers, .poster = poster}};
        doomed.handleEvent(kEventTypeKeyDown, &e);
        EXPECT_EQ(timers->pendingCount(), 1u);
    }
    EXPECT_EQ(timers->pendingCount(), 0u);
}

}  // namespace
}  // namespace sendhold
