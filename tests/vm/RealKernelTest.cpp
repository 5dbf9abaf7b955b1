// The real sendhold on a real kernel: keyboards in, its twins read as applications do.
#include <gtest/gtest.h>

#include <iostream>
#include <ranges>

#include "Guest.h"

namespace vmtest {
namespace {

constexpr auto kThreshold = 400ms;  // the default; nothing in the guest changes it
constexpr auto kSettle = 15s;       // generous: software emulation on a shared machine

// Each key in a frame of its own and, with `scans`, with its scan code.
void expectFrames(const std::vector<Frame>& frames, const Keys& expected, bool scans = false) {
    EXPECT_EQ(keyEvents(frames), expected);
    for (const Frame& frame : frames) {
        Keys keys = keyEvents({frame});
        EXPECT_LE(keys.size(), 1u) << "several keys in one frame";
        EXPECT_TRUE(!scans || keys.empty() || frame.events[0].value == (0x70000 | keys[0].first))
            << "no scan code, or not the key's";
    }
}

class RealKernel : public ::testing::Test {
  protected:
    void TearDown() override {
        if (HasFailure() && sendhold_) std::cout << sendhold_->output() << std::endl;
    }

    // Started once it has taken the PS/2 keyboard, the one every guest has.
    std::string start(const std::vector<std::string>& environment = {}) {
        sendhold_ = std::make_unique<Sendhold>(environment);
        std::string twin = waitForNode("Sendhold AT Translated Set 2 keyboard", kSettle);
        return twin.empty() ? throw std::runtime_error("sendhold did not start") : twin;
    }
    // A short Return on the keyboard reaches `app` as Shift+Return, a key a frame.
    void expectGuarded(Keyboard& keyboard, Reader& app) {
        keyboard.tap(KEY_ENTER);
        expectFrames(app.until(KEY_LEFTSHIFT, 0, 3s), kShiftReturn);
    }

    std::unique_ptr<Sendhold> sendhold_;
};

TEST_F(RealKernel, ShortAndLongReturnAndOtherKeys) {
    Keyboard keyboard("test keyboard");
    start();
    Reader app(taken(keyboard));
    expectGuarded(keyboard, app);

    // A long press: one Return at the threshold while the key is held, nothing on release.
    const auto pressed = Clock::now();
    keyboard.press(KEY_ENTER);
    std::vector<Frame> frames = app.until(KEY_ENTER, 0, 3s);
    expectFrames(frames, kReturn);
    EXPECT_GE(frames.at(0).readAt - pressed, kThreshold - 20ms);
    EXPECT_LT(frames.at(0).readAt - pressed, 1500ms);
    std::this_thread::sleep_until(pressed + 1200ms);
    keyboard.release(KEY_ENTER);

    // Other keys, keypad Enter and Control+Return pass unchanged.
    const Keys typed = {{KEY_A, 1},          {KEY_A, 0},        {KEY_KPENTER, 1},
                        {KEY_KPENTER, 0},    {KEY_LEFTCTRL, 1}, {KEY_ENTER, 1},
                        {KEY_ENTER, 0},      {KEY_LEFTCTRL, 0}, {KEY_RIGHTSHIFT, 1},
                        {KEY_RIGHTSHIFT, 0}, {KEY_J, 1},        {KEY_J, 0}};
    for (auto [code, value] : typed) {
        value ? keyboard.press(code) : keyboard.release(code);
        std::this_thread::sleep_for(10ms);
    }
    frames = app.until(KEY_J, 0, 3s);
    std::ranges::copy(app.collect(kThreshold + 200ms), std::back_inserter(frames));
    expectFrames(frames, typed, true);
}

TEST_F(RealKernel, ReturnHeldAtStartIsLeftToApplicationsUntilReleased) {
    Keyboard keyboard("test keyboard");
    keyboard.press(KEY_ENTER);
    start();
    std::this_thread::sleep_for(1s);
    EXPECT_FALSE(probe(keyboard, {keyboard.node()}).empty()) << "taken while Return was held";
    Reader direct(keyboard.node());
    keyboard.release(KEY_ENTER);
    EXPECT_EQ(keyEvents(direct.until(KEY_ENTER, 0, 2s)), (Keys{{KEY_ENTER, 0}}));
    Reader app(taken(keyboard));
    EXPECT_TRUE(app.keysDown().empty());
    EXPECT_EQ(keyEvents(app.collect(kThreshold + 200ms)), Keys{});
}

TEST_F(RealKernel, HotPlugPointerOwnDevicesAndUnplugWithReturnHeld) {
    Keyboard leaving("test keyboard unplugged");
    start();
    Reader leavingApp(taken(leaving));
    // Plugged in later: guarded, and its touchpad still works.
    Keyboard combo("test keyboard plugged in later");
    Reader app(taken(combo));
    expectGuarded(combo, app);
    combo.move(7, -3);
    combo.tap(BTN_LEFT);
    std::vector<Frame> frames = app.until(BTN_LEFT, 0, 3s);
    EXPECT_EQ(keyEvents(frames), (Keys{{BTN_LEFT, 1}, {BTN_LEFT, 0}}));
    ASSERT_EQ(frames.at(0).events.size(), 2u);
    EXPECT_EQ(std::pair(frames[0].events[0].value, frames[0].events[1].value), std::pair(7, -3));

    // Never its own devices: one free twin per keyboard, after time to notice them.
    std::this_thread::sleep_for(1500ms);
    std::multiset<std::string> twins;
    for (const std::string& node : eventNodes()) {
        if (!nameOf(node).starts_with("Sendhold")) continue;
        twins.insert(nameOf(node));
        EXPECT_TRUE(Reader(node).canGrab()) << nameOf(node) << " is held by someone";
    }
    EXPECT_EQ(twins, (std::multiset<std::string>{"Sendhold AT Translated Set 2 keyboard",
                                                 "Sendhold test keyboard unplugged",
                                                 "Sendhold test keyboard plugged in later"}));

    // Unplugged with A and Return held: no Return comes later, anywhere.
    for (int code : {KEY_A, KEY_ENTER}) leaving.press(code);
    leavingApp.until(KEY_A, 1, 2s);
    leaving.unplug();
    std::this_thread::sleep_for(kThreshold + 700ms);
    EXPECT_EQ(std::ranges::count(keyEvents(leavingApp.collect(100ms)), std::pair{KEY_ENTER, 1}), 0);
    EXPECT_EQ(keyEvents(app.collect(100ms)), Keys{});
    expectGuarded(combo, app);
}

// Killed, or stopped from its terminal (Ctrl+Z: SIGTSTP with Ctrl and Z held):
// nothing stays pressed, the keyboard works, and continued, sendhold guards again.
TEST_F(RealKernel, KilledOrStoppedWithKeysHeldLeavesNothingPressed) {
    Keyboard keyboard("test keyboard");
    Reader direct(keyboard.node());
    for (auto [signal, held] : {std::pair{SIGKILL, std::vector{KEY_LEFTSHIFT, KEY_A, KEY_ENTER}},
                                std::pair{SIGTSTP, std::vector{KEY_LEFTCTRL, KEY_Z}}}) {
        SCOPED_TRACE(strsignal(signal));
        start();
        Reader app(taken(keyboard));
        if (signal == SIGTSTP) {  // continued with nothing typed meanwhile: guarding at once
            sendhold_->signal(SIGTSTP);
            ASSERT_TRUE(sendhold_->wait(5s, true));
            sendhold_->signal(SIGCONT);
            std::this_thread::sleep_for(300ms);
        }
        for (int code : held) keyboard.press(code);
        app.until(held[1], 1, 2s);
        sendhold_->signal(signal);
        ASSERT_TRUE(sendhold_->wait(5s, signal == SIGTSTP));
        Keys released = keyEvents(app.collect(200ms));
        std::ranges::sort(released);
        Keys typed = {{KEY_B, 1}, {KEY_B, 0}};
        for (int code : held) typed.insert(typed.begin(), {code, 0});
        for (int code : held | std::views::reverse) keyboard.release(code);
        keyboard.tap(KEY_B);
        EXPECT_EQ(keyEvents(direct.until(KEY_B, 0, 2s)), typed);
        if (signal == SIGKILL) continue;
        EXPECT_EQ(released, (Keys{{KEY_LEFTCTRL, 0}, {KEY_Z, 0}}));
        sendhold_->signal(SIGCONT);
        std::this_thread::sleep_for(300ms);
        expectGuarded(keyboard, app);  // the first key after continuing already
    }
}

// The loop stalls in the guard's handling of Return; X comes before the watchdog lets
// go (and decides the held Return), Y after: each reaches applications once, in order,
// and the keyboard is taken again.
TEST_F(RealKernel, StallInsideKeyHandlingLosesAndDoublesNothing) {
    Keyboard keyboard("test keyboard");
    start({"SENDHOLD_TEST_STALL_SECONDS=3"});
    Reader app(taken(keyboard));
    Reader direct(keyboard.node());
    sendhold_->signal(SIGUSR1);
    std::this_thread::sleep_for(200ms);
    keyboard.press(KEY_ENTER);
    std::this_thread::sleep_for(200ms);
    const auto typed = Clock::now();
    keyboard.tap(KEY_X, 5ms);
    while (!direct.canGrab() && Clock::now() < typed + 2500ms) std::this_thread::sleep_for(10ms);
    const auto waited = std::chrono::duration_cast<milliseconds>(Clock::now() - typed);
    EXPECT_LT(waited, 1600ms) << waited.count() << " ms; the watchdog's limit is 1 s";
    keyboard.tap(KEY_Y);
    keyboard.release(KEY_ENTER);
    // Taken again once the stall ends: no probe before, it would fill buffers.
    std::this_thread::sleep_until(typed + 3500ms);

    Keys guarded = keyEvents(app.collect(100ms));
    std::erase_if(guarded, [](auto key) { return key.first == KEY_LEFTSHIFT; });
    EXPECT_EQ(guarded, (Keys{{KEY_ENTER, 1}, {KEY_ENTER, 0}, {KEY_X, 1}, {KEY_X, 0}}));
    Keys bypassed = keyEvents(direct.collect(10ms));
    std::erase(bypassed, std::pair{KEY_ENTER, 0});
    EXPECT_EQ(bypassed, (Keys{{KEY_Y, 1}, {KEY_Y, 0}}));
    EXPECT_TRUE(app.keysDown().empty());
    expectGuarded(keyboard, app);
}

TEST_F(RealKernel, ShiftHeldOnAnotherKeyboardStaysHeldThroughAShortReturn) {
    Keyboard withShift("test keyboard with Shift");
    Keyboard withReturn("test keyboard with Return");
    start();
    Reader shiftApp(taken(withShift));
    Reader returnApp(taken(withReturn));
    withShift.press(KEY_LEFTSHIFT);
    shiftApp.until(KEY_LEFTSHIFT, 1, 2s);
    withReturn.tap(KEY_ENTER);
    EXPECT_EQ(keyEvents(returnApp.collect(kThreshold)), kReturn) << "no Shift of its own";
    EXPECT_EQ(shiftApp.keysDown(), std::set<int>{KEY_LEFTSHIFT});
    withShift.release(KEY_LEFTSHIFT);
    EXPECT_EQ(keyEvents(shiftApp.until(KEY_LEFTSHIFT, 0, 2s)), (Keys{{KEY_LEFTSHIFT, 0}}));
}

// Through qemu's PS/2 keyboard and the atkbd driver: run-vm presses Return
// from the host for 800 ms when the guest asks on its second serial port.
TEST_F(RealKernel, LongPressOnThePs2KeyboardDeliversOneReturnWhileHeld) {
    Reader direct(waitForNode("AT Translated Set 2 keyboard", 1s));
    Reader app(start());
    std::ofstream("/dev/ttyS1") << "ret 800" << std::endl;
    std::vector<Frame> frames = app.until(KEY_ENTER, 1, 10s);
    EXPECT_TRUE(direct.keysDown().count(KEY_ENTER)) << "Return came after the key was released";
    std::ranges::copy(app.collect(1500ms), std::back_inserter(frames));  // past the release
    EXPECT_EQ(keyEvents(frames), kReturn);
    EXPECT_EQ(keyEvents(direct.collect(10ms)), Keys{}) << "the PS/2 keyboard leaked past the grab";
}

}  // namespace
}  // namespace vmtest
