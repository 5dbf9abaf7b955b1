#include <gtest/gtest.h>

#include <sstream>
#include <thread>
#include <vector>

#include "KeyboardManager.h"
#include "VirtualTime.h"

namespace sendhold {
namespace {

class FakeTap final : public EventTap {
public:
    bool allow = true;
    int creates = 0;
    int enables = 0;
    bool create() override {
        ++creates;
        return allow;
    }
    void enable() override { ++enables; }
};

class RecordingPoster final : public EventPoster {
public:
    std::vector<PostedKeyEvent> posted;
    // Key events that the poster fails to make, by (code, down).
    std::vector<std::pair<std::int64_t, bool>> failing;
    std::optional<PostedKeyEvent> createKeyboardEvent(std::int64_t code, bool down) override {
        for (const auto& f : failing)
            if (f.first == code && f.second == down) return std::nullopt;
        return EventPoster::createKeyboardEvent(code, down);
    }
    void post(const PostedKeyEvent& e) override { posted.push_back(e); }
};

TEST(KeyboardManagerShared, OneInstanceWithLaunchValuesWhoeverComesFirst) {
    std::vector<KeyboardManager*> seen(8);
    std::vector<std::thread> threads;
    for (auto& slot : seen) threads.emplace_back([&slot] { slot = &KeyboardManager::shared(); });
    for (auto& t : threads) t.join();
    for (KeyboardManager* m : seen) EXPECT_EQ(m, &KeyboardManager::shared());

    KeyboardManager& m = KeyboardManager::shared();
    EXPECT_TRUE(m.isEnabled);
    EXPECT_EQ(m.magicNumber, 55555);
    EXPECT_FALSE(m.enterPressStartTime);
    EXPECT_FALSE(m.isLongPressHandled);
    EXPECT_EQ(m.enterPressTimer, nullptr);
}

TEST(KeyboardManagerShared, CallbackGoesToTheSharedInstance) {
    KeyEvent other{38, 0, 0};
    EXPECT_EQ(KeyboardManager::eventTapCallback(nullptr, kEventTypeKeyDown, &other, nullptr), &other);
    KeyEvent marked{kKeyCodeReturn, 0, 55555};
    EXPECT_EQ(KeyboardManager::eventTapCallback(nullptr, kEventTypeKeyDown, &marked, nullptr),
              &marked);
}

TEST(StartMonitoring, PrintsStartOnceAndNeverStartsTwice) {
    auto tap = std::make_shared<FakeTap>();
    std::ostringstream out;
    KeyboardManager m({.tap = tap}, &out);
    m.startMonitoring();
    m.startMonitoring();
    EXPECT_EQ(out.str(), "監視スタート\n");
    EXPECT_EQ(tap->creates, 1);
    EXPECT_EQ(tap->enables, 1);
    EXPECT_EQ(m.eventTap, tap);
    EXPECT_EQ(m.runLoopSource, tap);
}

TEST(StartMonitoring, RefusedTapPrintsPermissionErrorAndALaterCallTriesAgain) {
    auto tap = std::make_shared<FakeTap>();
    tap->allow = false;
    std::ostringstream out;
    KeyboardManager m({.tap = tap}, &out);
    m.startMonitoring();
    EXPECT_EQ(out.str(), "権限エラー\n");
    EXPECT_EQ(m.eventTap, nullptr);
    EXPECT_EQ(m.runLoopSource, nullptr);
    EXPECT_EQ(tap->enables, 0);
    EXPECT_TRUE(m.isEnabled);

    tap->allow = true;
    m.startMonitoring();
    EXPECT_EQ(out.str(), "権限エラー\n監視スタート\n");
    EXPECT_EQ(tap->creates, 2);
}

TEST(StartMonitoring, NoTapAtAllIsAPermissionError) {
    std::ostringstream out;
    KeyboardManager m({}, &out);
    m.startMonitoring();
    EXPECT_EQ(out.str(), "権限エラー\n");
}

class PostingTest : public ::testing::Test {
protected:
    std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>();
    std::shared_ptr<VirtualTimerScheduler> timers = std::make_shared<VirtualTimerScheduler>(clock);
    std::shared_ptr<RecordingPoster> poster = std::make_shared<RecordingPoster>();
    KeyboardManager m{{.clock = clock, .timers = timers, .poster = poster}};

    void press(double down, double up) {
        timers->advanceTo(down, false);
        KeyEvent e{kKeyCodeReturn, 0, 0};
        EXPECT_EQ(m.handleEvent(kEventTypeKeyDown, &e), nullptr);
        timers->advanceTo(up, false);
        EXPECT_EQ(m.handleEvent(kEventTypeKeyUp, &e), nullptr);
    }
};

TEST_F(PostingTest, AnEventThatCannotBeMadeIsSkippedAndTheRestGoOut) {
    poster->failing = {{kKeyCodeReturn, true}};
    press(0, 0.1);
    ASSERT_EQ(poster->posted.size(), 3u);
    EXPECT_EQ(poster->posted[0].keyCode, kKeyCodeShift);
    EXPECT_TRUE(poster->posted[0].keyDown);
    EXPECT_EQ(poster->posted[1].keyCode, kKeyCodeReturn);
    EXPECT_FALSE(poster->posted[1].keyDown);
    EXPECT_EQ(poster->posted[1].flags, kFlagShift);
    EXPECT_EQ(poster->posted[2].keyCode, kKeyCodeShift);
    for (const auto& e : poster->posted) EXPECT_EQ(e.userData, 55555);
    EXPECT_FALSE(m.enterPressStartTime);
}

TEST_F(PostingTest, NothingCanBeMadeAndThePressStillEnds) {
    poster->failing = {{kKeyCodeReturn, true}, {kKeyCodeReturn, false}};
    press(0, 1.0);
    EXPECT_TRUE(poster->posted.empty());
    EXPECT_FALSE(m.isLongPressHandled);
    EXPECT_FALSE(m.enterPressStartTime);
    EXPECT_EQ(timers->pendingCount(), 0u);
}

TEST_F(PostingTest, DestroyingAManagerCancelsItsPendingTimer) {
    {
        KeyboardManager doomed{{.clock = clock, .timers = timers, .poster = poster}};
        KeyEvent e{kKeyCodeReturn, 0, 0};
        doomed.handleEvent(kEventTypeKeyDown, &e);
        EXPECT_EQ(timers->pendingCount(), 1u);
    }
    EXPECT_EQ(timers->pendingCount(), 0u);
    timers->advanceTo(5, true);
    EXPECT_TRUE(poster->posted.empty());
}

TEST(Threshold, ZeroAndNonFiniteMeanTheDefaultEverythingElseStands) {
    EXPECT_EQ(longPressThreshold(0), 0.4);
    EXPECT_EQ(longPressThreshold(-0.0), 0.4);
    EXPECT_EQ(longPressThreshold(std::numeric_limits<double>::quiet_NaN()), 0.4);
    EXPECT_EQ(longPressThreshold(std::numeric_limits<double>::infinity()), 0.4);
    EXPECT_EQ(longPressThreshold(-std::numeric_limits<double>::infinity()), 0.4);
    EXPECT_EQ(longPressThreshold(2.5), 2.5);
    EXPECT_EQ(longPressThreshold(-1), -1);
    EXPECT_EQ(longPressThreshold(0.2), 0.2);
}

}  // namespace
}  // namespace sendhold
