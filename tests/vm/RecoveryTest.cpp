// The keyboards stay usable whatever happens to sendhold: started while
// Return is held, killed, or with its main loop stalled.
#include <signal.h>
#include <unistd.h>

#include <iostream>
#include <thread>

#include "EndToEnd.h"

namespace vmtest {
namespace {

TEST_F(EndToEnd, ReturnHeldAtStartIsReleasedForApplicationsThenTaken) {
    VirtualKeyboard& keyboard = addKeyboard("sendhold-test keyboard");
    ContinuousReader application(keyboard.node());
    // The user started sendhold with Return and still holds it.
    keyboard.press(KEY_ENTER);
    ASSERT_TRUE(start());
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(probe(keyboard, sources()).onOwnNode)
        << "the keyboard was taken while Return was held";

    keyboard.release(KEY_ENTER);
    EXPECT_TRUE(application.waitFor(KEY_ENTER, 0, 2s))
        << "applications never saw Return released: " << describe(keyEvents(application.frames()));

    std::string output = takenOutput(keyboard);
    ASSERT_FALSE(output.empty());
    EventReader guarded(output);
    EXPECT_TRUE(guarded.keysDown().empty());
    Keys afterwards = keyEvents(guarded.collect(kThreshold + 200ms));
    EXPECT_TRUE(afterwards.empty()) << describe(afterwards);
}

TEST_F(EndToEnd, KilledWithKeysHeldLeavesKeyboardsWorkingAndNothingPressed) {
    VirtualKeyboard& keyboard = addKeyboard("sendhold-test keyboard");
    ASSERT_TRUE(start());
    std::string output = takenOutput(keyboard);
    ASSERT_FALSE(output.empty());
    EventReader direct(keyboard.node());
    EventReader application(output);

    keyboard.press(KEY_LEFTSHIFT);
    keyboard.press(KEY_A);
    keyboard.press(KEY_ENTER);
    application.until(KEY_A, 1, 2s);
    EXPECT_EQ(application.keysDown(), (std::set<int>{KEY_LEFTSHIFT, KEY_A}));

    sendhold_->signal(SIGKILL);
    ASSERT_TRUE(sendhold_->waitForExit(5s));
    std::this_thread::sleep_for(200ms);
    if (access(output.c_str(), F_OK) == 0 && !application.gone()) {
        EXPECT_TRUE(application.keysDown().empty()) << "keys left pressed on " << output;
    }

    keyboard.release(KEY_ENTER);
    keyboard.release(KEY_A);
    keyboard.release(KEY_LEFTSHIFT);
    keyboard.tap(KEY_B);
    Keys seen = keyEvents(direct.until(KEY_B, 0, 2s));
    EXPECT_EQ(seen, (Keys{{KEY_ENTER, 0}, {KEY_A, 0}, {KEY_LEFTSHIFT, 0}, {KEY_B, 1}, {KEY_B, 0}}))
        << "the keyboard does not reach applications after sendhold died: " << describe(seen);
    EXPECT_TRUE(direct.keysDown().empty());
}

TEST_F(EndToEnd, StalledLoopGivesKeyboardsBackWithinTheLimitAndTakesThemAgain) {
    VirtualKeyboard& keyboard = addKeyboard("sendhold-test keyboard");
    ASSERT_TRUE(start({"SENDHOLD_TEST_STALL_SECONDS=3"}));
    std::string output = takenOutput(keyboard);
    ASSERT_FALSE(output.empty());
    EventReader direct(keyboard.node());
    EventReader application(output);

    sendhold_->signal(SIGUSR1);
    std::this_thread::sleep_for(100ms);
    // Input waiting for a loop that does not serve it.
    const auto typed = Clock::now();
    keyboard.tap(KEY_X, 5ms);
    bool givenBack = false;
    while (!givenBack && Clock::now() < typed + 2500ms) {
        keyboard.tap(KEY_Y, 5ms);
        for (auto key : keyEvents(direct.collect(50ms)))
            givenBack = givenBack || key.first == KEY_Y;
    }
    auto waited = Clock::now() - typed;
    ASSERT_TRUE(givenBack) << "the keyboard was not given back while sendhold hung";
    std::cout << "given back after " << std::chrono::duration_cast<milliseconds>(waited).count()
              << " ms" << std::endl;
    // The watchdog's limit is 1 s; the rest is slack for emulation.
    EXPECT_LT(waited, 1600ms) << "given back only after "
                              << std::chrono::duration_cast<milliseconds>(waited).count() << " ms";

    std::string again = takenOutput(keyboard);
    ASSERT_FALSE(again.empty()) << "the keyboard was not taken again after the stall";
    EventReader guarded(again);
    // Keys that applications already received directly must not come twice.
    Keys replayed = keyEvents(application.collect(10ms));
    EXPECT_TRUE(std::find(replayed.begin(), replayed.end(), std::make_pair(KEY_Y, 1)) ==
                replayed.end())
        << "keys typed while the keyboard was given back came again: " << describe(replayed);

    keyboard.tap(KEY_ENTER, kShortHold);
    std::vector<Frame> frames = guarded.until(KEY_LEFTSHIFT, 0, 3s);
    Keys guardedKeys;
    for (auto key : keyEvents(frames)) {
        if (key.first != kProbeKey) guardedKeys.push_back(key);
    }
    EXPECT_EQ(guardedKeys, kShiftReturn) << describe(guardedKeys);
}

}  // namespace
}  // namespace vmtest
