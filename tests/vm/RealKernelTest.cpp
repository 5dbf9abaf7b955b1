// The real sendhold on a real kernel: uinput keyboards (and the emulated PS/2
// one) in, its output devices read as applications read them.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <memory>
#include <thread>

#include "Guest.h"

namespace vmtest {
namespace {

constexpr auto kThreshold = 400ms;  // the default; nothing in the guest changes it
constexpr auto kShortHold = 60ms;
constexpr auto kSettle = 15s;  // generous: software emulation on a shared machine
const Keys kShiftReturn = {{KEY_LEFTSHIFT, 1}, {KEY_ENTER, 1}, {KEY_ENTER, 0}, {KEY_LEFTSHIFT, 0}};

int count(const Keys& keys, std::pair<int, int> key) {
    return static_cast<int>(std::count(keys.begin(), keys.end(), key));
}

// Each key event in a frame of its own; with `scanCodes`, each with its key's scan code.
void expectFrames(const std::vector<Frame>& frames, bool scanCodes) {
    for (const Frame& frame : frames) {
        Keys keys = keyEvents({frame});
        EXPECT_LE(keys.size(), 1u) << "several keys in one frame: " << describe(keys);
        if (scanCodes && keys.size() == 1) {
            EXPECT_EQ(frame.scanCode(), Keyboard::scanCode(keys[0].first)) << keys[0].first;
        }
    }
}

class RealKernel : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!Sendhold::available()) GTEST_SKIP() << "SENDHOLD_BIN names no sendhold binary";
        present_ = eventNodes();
    }

    void TearDown() override {
        if (HasFailure() && sendhold_) std::cout << sendhold_->output() << std::endl;
        sendhold_.reset();
        keyboards_.clear();
    }

    Keyboard& add(const std::string& name, bool withPointer = false) {
        keyboards_.push_back(std::make_unique<Keyboard>("sendhold-test " + name, withPointer));
        return *keyboards_.back();
    }

    bool start(const std::vector<std::string>& environment = {}) {
        sendhold_ = std::make_unique<Sendhold>(environment);
        if (sendhold_->waitUntilMonitoring(kSettle)) return true;
        ADD_FAILURE() << "sendhold did not start monitoring\n" << sendhold_->output();
        return false;
    }

    // Nodes that are not sendhold's: those present before the test and its keyboards.
    std::set<std::string> sources() const {
        std::set<std::string> nodes = present_;
        for (const auto& keyboard : keyboards_) nodes.insert(keyboard->node());
        return nodes;
    }

    // sendhold's output node for the keyboard once it has taken it.
    std::string taken(Keyboard& keyboard) {
        std::string output = waitUntilTaken(keyboard, sources(), kSettle);
        if (output.empty()) throw std::runtime_error("sendhold did not take " + keyboard.name());
        return output;
    }

    std::set<std::string> present_;
    std::vector<std::unique_ptr<Keyboard>> keyboards_;
    std::unique_ptr<Sendhold> sendhold_;
};

TEST_F(RealKernel, ShortAndLongReturnAndOtherKeys) {
    Keyboard& keyboard = add("keyboard");
    ASSERT_TRUE(start());
    Reader app(taken(keyboard));

    keyboard.tap(KEY_ENTER, kShortHold);
    std::vector<Frame> frames = app.until(KEY_LEFTSHIFT, 0, 3s);
    EXPECT_EQ(keyEvents(frames), kShiftReturn) << describe(keyEvents(frames));
    expectFrames(frames, false);

    // A long press: one Return at the threshold while the key is held, nothing on release.
    const auto pressed = Clock::now();
    keyboard.press(KEY_ENTER);
    frames = app.until(KEY_ENTER, 0, 3s);
    EXPECT_EQ(keyEvents(frames), (Keys{{KEY_ENTER, 1}, {KEY_ENTER, 0}}))
        << describe(keyEvents(frames));
    expectFrames(frames, false);
    if (!frames.empty()) {
        EXPECT_GE(frames.front().readAt - pressed, kThreshold - 20ms);
        EXPECT_LT(frames.front().readAt - pressed, 1500ms);
    }
    std::this_thread::sleep_until(pressed + 1200ms);
    keyboard.release(KEY_ENTER);

    // Other keys, keypad Enter and Control+Return pass unchanged, with their scan codes.
    const Keys typed = {{KEY_A, 1},          {KEY_A, 0},        {KEY_KPENTER, 1},
                        {KEY_KPENTER, 0},    {KEY_LEFTCTRL, 1}, {KEY_ENTER, 1},
                        {KEY_ENTER, 0},      {KEY_LEFTCTRL, 0}, {KEY_RIGHTSHIFT, 1},
                        {KEY_RIGHTSHIFT, 0}, {KEY_J, 1},        {KEY_J, 0}};
    for (auto [code, value] : typed) {
        value ? keyboard.press(code) : keyboard.release(code);
        std::this_thread::sleep_for(10ms);
    }
    frames = app.until(KEY_J, 0, 3s);
    for (Frame& late : app.collect(kThreshold + 200ms)) frames.push_back(late);
    EXPECT_EQ(keyEvents(frames), typed) << describe(keyEvents(frames));
    expectFrames(frames, true);
    EXPECT_TRUE(app.keysDown().empty());
}

TEST_F(RealKernel, ReturnHeldAtStartIsLeftToApplicationsUntilReleased) {
    Keyboard& keyboard = add("keyboard");
    keyboard.press(KEY_ENTER);
    ASSERT_TRUE(start());
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(reachesOwnNode(keyboard)) << "taken while Return was held";
    Reader direct(keyboard.node());
    keyboard.release(KEY_ENTER);
    EXPECT_EQ(keyEvents(direct.until(KEY_ENTER, 0, 2s)), (Keys{{KEY_ENTER, 0}}));

    Reader guarded(taken(keyboard));
    EXPECT_TRUE(guarded.keysDown().empty());
    EXPECT_EQ(keyEvents(guarded.collect(kThreshold + 200ms)), Keys{});
}

TEST_F(RealKernel, HotPlugPointerOwnDevicesAndUnplugWithReturnHeld) {
    Keyboard& leaving = add("keyboard unplugged");
    ASSERT_TRUE(start());
    const std::string leavingOutput = taken(leaving);

    // Plugged in later, with a touchpad: guarded, and the pointer still works.
    Keyboard& combo = add("keyboard with touchpad plugged in later", true);
    Reader app(taken(combo));
    combo.tap(KEY_ENTER, kShortHold);
    EXPECT_EQ(keyEvents(app.until(KEY_LEFTSHIFT, 0, 3s)), kShiftReturn);
    combo.move(7, -3);
    combo.tap(BTN_LEFT);
    std::vector<Frame> frames = app.until(BTN_LEFT, 0, 3s);
    EXPECT_EQ(keyEvents(frames), (Keys{{BTN_LEFT, 1}, {BTN_LEFT, 0}}));
    ASSERT_FALSE(frames.empty());
    const auto& motion = frames.front().events;
    ASSERT_EQ(motion.size(), 2u);
    EXPECT_EQ(std::make_pair(motion[0].value, motion[1].value), std::make_pair(7, -3));

    // Time for sendhold to notice its own new devices and (wrongly) take them.
    std::this_thread::sleep_for(1500ms);
    size_t keyboards = 0;
    for (const std::string& node : sources()) keyboards += isKeyboard(node);
    std::set<std::string> outputs = eventNodes();
    for (const std::string& node : sources()) outputs.erase(node);
    EXPECT_EQ(outputs.size(), keyboards) << "one output device per keyboard, no copies of copies";
    for (const std::string& node : outputs) {
        EXPECT_TRUE(Reader(node).canGrab()) << deviceName(node) << " is held by someone";
    }

    // Unplugged with A and Return held: nothing stays pressed, no Return comes later.
    Reader leavingApp(leavingOutput);
    leaving.press(KEY_A);
    leaving.press(KEY_ENTER);
    Keys seen = keyEvents(leavingApp.until(KEY_A, 1, 2s));
    std::this_thread::sleep_for(100ms);
    leaving.unplug();
    std::this_thread::sleep_for(kThreshold + 600ms);
    for (auto key : keyEvents(leavingApp.collect(100ms))) seen.push_back(key);
    EXPECT_EQ(count(seen, {KEY_ENTER, 1}), 0) << describe(seen);
    if (access(leavingOutput.c_str(), F_OK) == 0 && !leavingApp.gone()) {
        EXPECT_TRUE(leavingApp.keysDown().empty()) << "keys left pressed on " << leavingOutput;
    }
    EXPECT_EQ(keyEvents(app.collect(100ms)), Keys{});
    combo.tap(KEY_ENTER, kShortHold);
    EXPECT_EQ(keyEvents(app.until(KEY_LEFTSHIFT, 0, 3s)), kShiftReturn);
}

TEST_F(RealKernel, KilledWithKeysHeldLeavesNothingPressed) {
    Keyboard& keyboard = add("keyboard");
    ASSERT_TRUE(start());
    const std::string output = taken(keyboard);
    Reader direct(keyboard.node());
    Reader app(output);
    for (int code : {KEY_LEFTSHIFT, KEY_A, KEY_ENTER}) keyboard.press(code);
    app.until(KEY_A, 1, 2s);
    EXPECT_EQ(app.keysDown(), (std::set<int>{KEY_LEFTSHIFT, KEY_A}));

    sendhold_->signal(SIGKILL);
    ASSERT_TRUE(sendhold_->wait(5s));
    std::this_thread::sleep_for(200ms);
    if (access(output.c_str(), F_OK) == 0 && !app.gone()) {
        EXPECT_TRUE(app.keysDown().empty()) << "keys left pressed on " << output;
    }
    for (int code : {KEY_ENTER, KEY_A, KEY_LEFTSHIFT}) keyboard.release(code);
    keyboard.tap(KEY_B);
    EXPECT_EQ(keyEvents(direct.until(KEY_B, 0, 2s)),
              (Keys{{KEY_ENTER, 0}, {KEY_A, 0}, {KEY_LEFTSHIFT, 0}, {KEY_B, 1}, {KEY_B, 0}}));
}

// The main loop stalls inside the guard's handling of Return; X is typed before
// the watchdog lets go, Y after. Each reaches applications once, in order, and
// the keyboard is taken again (the grab the watchdog ended can be taken anew).
// No autorepeat: Return held through the stall would overflow the kernel's buffer.
TEST_F(RealKernel, StallInsideKeyHandlingLosesAndDoublesNothing) {
    Keyboard& keyboard = add("keyboard");
    keyboard.setRepeatDelay(10s);
    ASSERT_TRUE(start({"SENDHOLD_TEST_STALL_SECONDS=3"}));
    const std::string output = taken(keyboard);
    Reader direct(keyboard.node());
    Reader app(output);
    sendhold_->signal(SIGUSR1);
    std::this_thread::sleep_for(200ms);

    keyboard.press(KEY_ENTER);
    std::this_thread::sleep_for(200ms);
    const auto typed = Clock::now();
    keyboard.tap(KEY_X, 5ms);
    bool givenBack = false;
    // Watched without typing: probe keys would overflow sendhold's unread buffer.
    while (!givenBack && Clock::now() < typed + 2500ms) {
        std::this_thread::sleep_for(10ms);
        givenBack = direct.canGrab();
    }
    const auto waited = std::chrono::duration_cast<milliseconds>(Clock::now() - typed);
    ASSERT_TRUE(givenBack) << "the keyboard was not given back while sendhold hung";
    std::cout << "given back after " << waited.count() << " ms" << std::endl;
    EXPECT_LT(waited, 1600ms) << "the watchdog's limit is 1 s";
    keyboard.tap(KEY_Y);
    keyboard.release(KEY_ENTER);

    EXPECT_EQ(taken(keyboard), output) << "not taken again after the stall";
    Keys guarded = keyEvents(app.collect(100ms));
    std::erase(guarded, std::make_pair(KEY_LEFTSHIFT, 1));
    std::erase(guarded, std::make_pair(KEY_LEFTSHIFT, 0));
    EXPECT_EQ(guarded, (Keys{{KEY_X, 1}, {KEY_X, 0}, {KEY_ENTER, 1}, {KEY_ENTER, 0}}))
        << describe(guarded);
    Keys bypassed = keyEvents(direct.collect(10ms));
    std::erase(bypassed, std::make_pair(KEY_ENTER, 0));
    EXPECT_EQ(bypassed, (Keys{{KEY_Y, 1}, {KEY_Y, 0}})) << describe(bypassed);
    EXPECT_TRUE(app.keysDown().empty());

    keyboard.tap(KEY_ENTER, kShortHold);
    EXPECT_EQ(keyEvents(app.until(KEY_LEFTSHIFT, 0, 3s)), kShiftReturn);
}

// Ctrl+Z in the terminal that runs sendhold stops it with Ctrl and Z held.
TEST_F(RealKernel, StoppedFromTheTerminalLetsEveryKeyboardGoUntilContinued) {
    Keyboard& keyboard = add("keyboard");
    ASSERT_TRUE(start());
    const std::string output = taken(keyboard);
    Reader direct(keyboard.node());
    Reader app(output);
    keyboard.press(KEY_LEFTCTRL);
    keyboard.press(KEY_Z);
    app.until(KEY_Z, 1, 2s);

    sendhold_->signal(SIGTSTP);
    ASSERT_TRUE(sendhold_->wait(5s, true)) << "sendhold did not stop";
    keyboard.release(KEY_Z);
    keyboard.release(KEY_LEFTCTRL);
    keyboard.tap(KEY_B);
    EXPECT_EQ(keyEvents(direct.until(KEY_B, 0, 2s)),
              (Keys{{KEY_Z, 0}, {KEY_LEFTCTRL, 0}, {KEY_B, 1}, {KEY_B, 0}}))
        << "the keyboard does not reach applications while sendhold is stopped";
    Keys released = keyEvents(app.collect(100ms));
    std::sort(released.begin(), released.end());
    EXPECT_EQ(released, (Keys{{KEY_LEFTCTRL, 0}, {KEY_Z, 0}})) << describe(released);
    EXPECT_TRUE(app.keysDown().empty());

    sendhold_->signal(SIGCONT);
    EXPECT_EQ(taken(keyboard), output);
    keyboard.tap(KEY_ENTER, kShortHold);
    EXPECT_EQ(keyEvents(app.until(KEY_LEFTSHIFT, 0, 3s)), kShiftReturn);
}

TEST_F(RealKernel, ShiftHeldOnAnotherKeyboardStaysHeldThroughAShortReturn) {
    Keyboard& withShift = add("keyboard with Shift");
    Keyboard& withReturn = add("keyboard with Return");
    ASSERT_TRUE(start());
    Reader shiftApp(taken(withShift));
    Reader returnApp(taken(withReturn));
    withShift.press(KEY_LEFTSHIFT);
    shiftApp.until(KEY_LEFTSHIFT, 1, 2s);
    withReturn.tap(KEY_ENTER, kShortHold);
    Keys seen = keyEvents(returnApp.until(KEY_ENTER, 0, 3s));
    for (auto key : keyEvents(returnApp.collect(300ms))) seen.push_back(key);
    EXPECT_EQ(seen, (Keys{{KEY_ENTER, 1}, {KEY_ENTER, 0}})) << describe(seen);
    EXPECT_EQ(shiftApp.keysDown(), std::set<int>{KEY_LEFTSHIFT});
    withShift.release(KEY_LEFTSHIFT);
    EXPECT_EQ(keyEvents(shiftApp.until(KEY_LEFTSHIFT, 0, 2s)), (Keys{{KEY_LEFTSHIFT, 0}}));
}

// Through qemu's PS/2 keyboard and the atkbd driver: run-vm presses Return
// from the host for 800 ms when the guest asks on the console.
TEST_F(RealKernel, LongPressOnThePs2KeyboardDeliversOneReturnWhileHeld) {
    std::string ps2;
    for (const std::string& node : present_) {
        if (deviceName(node) == "AT Translated Set 2 keyboard") ps2 = node;
    }
    ASSERT_FALSE(ps2.empty()) << "no atkbd keyboard in this machine";
    ASSERT_TRUE(start());
    // It cannot type a probe: its output is the one new node.
    std::set<std::string> outputs;
    for (auto waited = 0ms; outputs.size() != 1 && waited < kSettle; waited += 100ms) {
        std::this_thread::sleep_for(100ms);
        outputs = eventNodes();
        for (const std::string& node : present_) outputs.erase(node);
    }
    ASSERT_EQ(outputs.size(), 1u) << "no single output device for the PS/2 keyboard";
    std::this_thread::sleep_for(500ms);
    Reader direct(ps2);
    Reader app(*outputs.begin());

    std::cout << "SENDHOLD-VM: hold ret 800" << std::endl;
    std::vector<Frame> frames = app.until(KEY_ENTER, 1, 10s);
    EXPECT_TRUE(direct.keysDown().count(KEY_ENTER)) << "Return came after the key was released";
    for (Frame& frame : app.until(KEY_ENTER, 0, 3s)) frames.push_back(frame);
    EXPECT_EQ(keyEvents(frames), (Keys{{KEY_ENTER, 1}, {KEY_ENTER, 0}}));
    for (auto waited = 0ms; direct.keysDown().count(KEY_ENTER) && waited < 5s; waited += 20ms) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(keyEvents(app.collect(kThreshold + 200ms)), Keys{});
    EXPECT_EQ(keyEvents(direct.collect(10ms)), Keys{}) << "the PS/2 keyboard leaked past the grab";
}

}  // namespace
}  // namespace vmtest
