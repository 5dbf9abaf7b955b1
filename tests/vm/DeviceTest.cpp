// Keyboards coming and going, combined keyboard+pointer devices, and
// sendhold's own output devices, on a real kernel.
#include <unistd.h>

#include <thread>

#include "EndToEnd.h"

namespace vmtest {
namespace {

bool contains(const Keys& keys, std::pair<int, int> key) {
    return std::find(keys.begin(), keys.end(), key) != keys.end();
}

TEST_F(EndToEnd, KeyboardPluggedInAfterStartIsGuarded) {
    VirtualKeyboard& first = addKeyboard("sendhold-test keyboard");
    ASSERT_TRUE(start());
    ASSERT_FALSE(takenOutput(first).empty());

    VirtualKeyboard& later = addKeyboard("sendhold-test keyboard plugged in later");
    std::string output = takenOutput(later);
    ASSERT_FALSE(output.empty());
    EventReader application(output);
    later.tap(KEY_ENTER, kShortHold);
    std::vector<Frame> frames = application.until(KEY_LEFTSHIFT, 0, 3s);
    EXPECT_EQ(keyEvents(frames), kShiftReturn) << describe(keyEvents(frames));
}

TEST_F(EndToEnd, UnplugWhileReturnHeldLeavesNothingPressedAndPostsNoReturn) {
    VirtualKeyboard& leaving = addKeyboard("sendhold-test keyboard unplugged");
    VirtualKeyboard& staying = addKeyboard("sendhold-test keyboard staying");
    ASSERT_TRUE(start());
    std::string leavingOutput = takenOutput(leaving);
    std::string stayingOutput = takenOutput(staying);
    ASSERT_FALSE(leavingOutput.empty());
    ASSERT_FALSE(stayingOutput.empty());
    EventReader leavingApp(leavingOutput);
    EventReader stayingApp(stayingOutput);

    leaving.press(KEY_A);
    leaving.press(KEY_ENTER);
    std::vector<Frame> beforeUnplug = leavingApp.until(KEY_A, 1, 2s);
    std::this_thread::sleep_for(100ms);
    leaving.unplug();
    // Past the threshold: a Return still posted for the gone keyboard would come now.
    std::this_thread::sleep_for(kThreshold + 600ms);

    Keys seen = keyEvents(beforeUnplug);
    for (auto key : keyEvents(leavingApp.collect(100ms))) seen.push_back(key);
    EXPECT_FALSE(contains(seen, {KEY_ENTER, 1})) << describe(seen);
    if (access(leavingOutput.c_str(), F_OK) == 0 && !leavingApp.gone()) {
        EXPECT_TRUE(leavingApp.keysDown().empty()) << "keys left pressed on " << leavingOutput;
    }
    Keys elsewhere = keyEvents(stayingApp.collect(100ms));
    EXPECT_TRUE(elsewhere.empty()) << describe(elsewhere);
    EXPECT_TRUE(stayingApp.keysDown().empty());

    // The guard carries on with the keyboard that stayed.
    staying.tap(KEY_ENTER, kShortHold);
    std::vector<Frame> frames = stayingApp.until(KEY_LEFTSHIFT, 0, 3s);
    EXPECT_EQ(keyEvents(frames), kShiftReturn) << describe(keyEvents(frames));
}

TEST_F(EndToEnd, KeyboardWithPointerStillMovesAndClicks) {
    VirtualKeyboard& combo = addKeyboard("sendhold-test keyboard with touchpad", true);
    ASSERT_TRUE(start());
    std::string output = takenOutput(combo);
    ASSERT_FALSE(output.empty());
    EventReader application(output);

    combo.move(7, -3);
    combo.tap(BTN_LEFT);
    std::vector<Frame> frames = application.until(BTN_LEFT, 0, 3s);
    bool moved = false;
    for (const Frame& frame : frames) {
        int dx = 0;
        int dy = 0;
        for (const input_event& e : frame.events) {
            if (e.type == EV_REL && e.code == REL_X) dx = e.value;
            if (e.type == EV_REL && e.code == REL_Y) dy = e.value;
        }
        moved = moved || (dx == 7 && dy == -3);
    }
    EXPECT_TRUE(moved) << "the pointer motion did not come out";
    EXPECT_EQ(keyEvents(frames), (Keys{{BTN_LEFT, 1}, {BTN_LEFT, 0}}))
        << describe(keyEvents(frames));
}

TEST_F(EndToEnd, OwnOutputDevicesAreNeverTaken) {
    VirtualKeyboard& first = addKeyboard("sendhold-test keyboard");
    VirtualKeyboard& second = addKeyboard("sendhold-test second keyboard");
    ASSERT_TRUE(start());
    ASSERT_FALSE(takenOutput(first).empty());
    ASSERT_FALSE(takenOutput(second).empty());
    // Time for sendhold to notice its own new devices and (wrongly) take them.
    std::this_thread::sleep_for(1500ms);

    std::set<std::string> known = sources();
    size_t keyboards = 0;
    for (const std::string& node : known) keyboards += isKeyboard(node) ? 1 : 0;
    std::set<std::string> outputs;
    for (const std::string& node : eventNodes()) {
        if (!known.count(node)) outputs.insert(node);
    }
    EXPECT_EQ(outputs.size(), keyboards) << "one output device per keyboard, no copies of copies";
    for (const std::string& node : outputs) {
        EXPECT_TRUE(EventReader(node).canGrab())
            << node << " (" << deviceName(node) << ") is held exclusively by someone";
    }
}

}  // namespace
}  // namespace vmtest
