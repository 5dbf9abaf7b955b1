// One long press through qemu's emulated PS/2 keyboard and the kernel's atkbd
// driver, pressed from the host: the one case that does not start from uinput.
#include <iostream>
#include <thread>

#include "EndToEnd.h"

namespace vmtest {
namespace {

TEST_F(EndToEnd, LongPressOnThePs2KeyboardDeliversOneReturnWhileHeld) {
    std::string ps2;
    for (const std::string& node : present_) {
        if (deviceName(node) == "AT Translated Set 2 keyboard") ps2 = node;
    }
    ASSERT_FALSE(ps2.empty()) << "no atkbd keyboard in this machine";
    ASSERT_TRUE(start());
    // The PS/2 keyboard cannot type a probe key from here: its output is the
    // one new node, since the test made no keyboard of its own.
    std::set<std::string> outputs;
    for (auto waited = 0ms; outputs.empty() && waited < kSettle; waited += 100ms) {
        std::this_thread::sleep_for(100ms);
        for (const std::string& node : eventNodes()) {
            if (!present_.count(node)) outputs.insert(node);
        }
    }
    ASSERT_EQ(outputs.size(), 1u) << "no single output device for the PS/2 keyboard";
    std::this_thread::sleep_for(500ms);
    EventReader direct(ps2);
    EventReader application(*outputs.begin());

    // The host presses Return for 800 ms through QMP (see run-vm).
    std::cout << "SENDHOLD-VM: hold ret 800" << std::endl;
    Frame frame;
    Keys seen;
    bool heldWhenDelivered = false;
    const auto deadline = Clock::now() + 10s;
    while (Clock::now() < deadline && !application.gone()) {
        if (!application.next(frame, 100ms)) continue;
        for (auto key : frame.keys()) {
            if (key == std::make_pair(KEY_ENTER, 1)) {
                heldWhenDelivered = direct.keysDown().count(KEY_ENTER) > 0;
            }
            if (key.second != 2) seen.push_back(key);
        }
        if (!seen.empty() && seen.back() == std::make_pair(KEY_ENTER, 0)) break;
    }
    EXPECT_EQ(seen, (Keys{{KEY_ENTER, 1}, {KEY_ENTER, 0}})) << describe(seen);
    EXPECT_TRUE(heldWhenDelivered) << "Return was delivered after the key was released";

    for (auto waited = 0ms; direct.keysDown().count(KEY_ENTER) && waited < 5s; waited += 20ms) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_FALSE(direct.keysDown().count(KEY_ENTER)) << "the host never released Return";
    Keys afterRelease = keyEvents(application.collect(kThreshold + 200ms));
    EXPECT_TRUE(afterRelease.empty()) << describe(afterRelease);
    Keys leaked = keyEvents(direct.collect(10ms));
    EXPECT_TRUE(leaked.empty()) << "applications reading the PS/2 keyboard itself saw "
                                << describe(leaked);
}

}  // namespace
}  // namespace vmtest
