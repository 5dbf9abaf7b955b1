// What applications receive from sendhold's output devices for Return and
// for everything else, on a real kernel.
#include <thread>

#include "EndToEnd.h"

namespace vmtest {
namespace {

TEST(RealKernel, UinputKeyboardReachesItsOwnNode) {
    VirtualKeyboard keyboard("sendhold-test plain keyboard");
    EventReader application(keyboard.node());
    keyboard.tap(KEY_A);
    std::vector<Frame> frames = application.until(KEY_A, 0, 2s);
    EXPECT_EQ(keyEvents(frames), (Keys{{KEY_A, 1}, {KEY_A, 0}}));
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.front().scanCode(), VirtualKeyboard::scanCode(KEY_A));
}

TEST_F(EndToEnd, ShortPressArrivesAsShiftReturnOneKeyPerFrame) {
    VirtualKeyboard& keyboard = addKeyboard("sendhold-test keyboard");
    ASSERT_TRUE(start());
    std::string output = takenOutput(keyboard);
    ASSERT_FALSE(output.empty());
    EventReader application(output);

    keyboard.tap(KEY_ENTER, kShortHold);
    std::vector<Frame> frames = application.until(KEY_LEFTSHIFT, 0, 3s);
    for (Frame& late : application.collect(kThreshold + 200ms)) frames.push_back(late);

    EXPECT_EQ(keyEvents(frames), kShiftReturn) << describe(keyEvents(frames));
    expectOneKeyPerFrame(frames);
    EXPECT_TRUE(application.keysDown().empty());
}

TEST_F(EndToEnd, LongPressDeliversOneReturnWhileHeldAndNothingOnRelease) {
    VirtualKeyboard& keyboard = addKeyboard("sendhold-test keyboard");
    ASSERT_TRUE(start());
    std::string output = takenOutput(keyboard);
    ASSERT_FALSE(output.empty());
    EventReader application(output);

    const auto pressed = Clock::now();
    keyboard.press(KEY_ENTER);
    // Read while the key is still held: the Return must come before release.
    std::vector<Frame> frames = application.until(KEY_ENTER, 0, 3s);
    EXPECT_EQ(keyEvents(frames), (Keys{{KEY_ENTER, 1}, {KEY_ENTER, 0}}))
        << describe(keyEvents(frames));
    expectOneKeyPerFrame(frames);
    if (!frames.empty()) {
        auto arrived = frames.front().readAt - pressed;
        EXPECT_GE(arrived, kThreshold - 20ms) << "Return came before the threshold";
        EXPECT_LT(arrived, 1500ms) << "Return came long after the threshold";
    }

    std::this_thread::sleep_until(pressed + 1200ms);
    keyboard.release(KEY_ENTER);
    std::vector<Frame> afterRelease = application.collect(500ms);
    EXPECT_TRUE(keyEvents(afterRelease).empty()) << describe(keyEvents(afterRelease));
    EXPECT_TRUE(application.keysDown().empty());
}

TEST_F(EndToEnd, OtherKeysKeypadEnterAndControlReturnPassUnchangedWithScanCodes) {
    VirtualKeyboard& keyboard = addKeyboard("sendhold-test keyboard");
    ASSERT_TRUE(start());
    std::string output = takenOutput(keyboard);
    ASSERT_FALSE(output.empty());
    EventReader application(output);

    const Keys typed = {{KEY_A, 1},          {KEY_A, 0},        {KEY_KPENTER, 1},
                        {KEY_KPENTER, 0},    {KEY_LEFTCTRL, 1}, {KEY_ENTER, 1},
                        {KEY_ENTER, 0},      {KEY_LEFTCTRL, 0}, {KEY_RIGHTSHIFT, 1},
                        {KEY_RIGHTSHIFT, 0}, {KEY_J, 1},        {KEY_J, 0}};
    for (auto [code, value] : typed) {
        value ? keyboard.press(code) : keyboard.release(code);
        std::this_thread::sleep_for(10ms);
    }
    std::vector<Frame> frames = application.until(KEY_J, 0, 3s);
    for (Frame& late : application.collect(kThreshold + 200ms)) frames.push_back(late);

    std::vector<Frame> keyFrames;
    for (const Frame& frame : frames) {
        if (!frame.onlyRepeats()) keyFrames.push_back(frame);
    }
    EXPECT_EQ(keyEvents(keyFrames), typed) << describe(keyEvents(keyFrames));
    for (const Frame& frame : keyFrames) {
        ASSERT_EQ(frame.keys().size(), 1u) << describe(frame.keys());
        EXPECT_EQ(frame.scanCode(), VirtualKeyboard::scanCode(frame.keys()[0].first))
            << "scan code lost for key " << frame.keys()[0].first;
    }
}

TEST_F(EndToEnd, PhysicalShiftStaysHeldThroughAShortReturn) {
    VirtualKeyboard& keyboard = addKeyboard("sendhold-test keyboard");
    ASSERT_TRUE(start());
    std::string output = takenOutput(keyboard);
    ASSERT_FALSE(output.empty());
    EventReader application(output);

    keyboard.press(KEY_LEFTSHIFT);
    std::this_thread::sleep_for(50ms);
    keyboard.tap(KEY_ENTER, kShortHold);
    std::vector<Frame> frames = application.until(KEY_ENTER, 0, 3s);
    for (Frame& late : application.collect(300ms)) frames.push_back(late);

    EXPECT_EQ(keyEvents(frames), (Keys{{KEY_LEFTSHIFT, 1}, {KEY_ENTER, 1}, {KEY_ENTER, 0}}))
        << describe(keyEvents(frames));
    expectOneKeyPerFrame(frames);
    EXPECT_EQ(application.keysDown(), (std::set<int>{KEY_LEFTSHIFT}))
        << "the Shift the user holds was released for applications";

    keyboard.release(KEY_LEFTSHIFT);
    std::vector<Frame> released = application.until(KEY_LEFTSHIFT, 0, 3s);
    EXPECT_EQ(keyEvents(released), (Keys{{KEY_LEFTSHIFT, 0}})) << describe(keyEvents(released));
    EXPECT_TRUE(application.keysDown().empty());
}

}  // namespace
}  // namespace vmtest
