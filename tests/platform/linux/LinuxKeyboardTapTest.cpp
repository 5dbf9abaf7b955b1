#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <QCoreApplication>
#include <chrono>
#include <sstream>
#include <thread>

#include "FakeKernel.h"
#include "KeyTranslation.h"
#include "KeyboardManager/KeyboardManager.h"
#include "LinuxKeyboardTap.h"
#include "OwnDeviceId.h"

namespace sendhold {
namespace {

using namespace std::chrono_literals;
using fake::event;

struct StoppedClock final : Clock {  // every Return press is short
    double now() override { return 1000; }
};

void pump(std::chrono::milliseconds forAtLeast = 0ms) {
    const auto until = std::chrono::steady_clock::now() + forAtLeast;
    do {
        for (int i = 0; i < 4; ++i) QCoreApplication::processEvents();
    } while (std::chrono::steady_clock::now() < until);
}

bool letGo(const fake::Device& device) {  // waits up to 3 s for the watchdog
    for (int i = 0; i < 300 && device.grabbed(); ++i) std::this_thread::sleep_for(10ms);
    return !device.grabbed();
}

const std::string kShiftReturn = "KEY_LEFTSHIFT=1 | KEY_ENTER=1 | KEY_ENTER=0 | KEY_LEFTSHIFT=0 |";

class TapTest : public ::testing::Test {
  protected:
    std::shared_ptr<fake::System> system = std::make_shared<fake::System>();
    std::ostringstream guardOut, diagnostics;
    KeyboardManager guard{{.clock = std::make_shared<StoppedClock>()}, &guardOut};
    std::function<void(KeyEvent*)> inGuard;  // runs inside the guard's callback
    std::shared_ptr<LinuxKeyboardTap> tap;

    std::shared_ptr<fake::Device> add(int index, fake::Shape shape = fake::keyboard()) {
        return system->add("/dev/input/event" + std::to_string(index), std::move(shape));
    }
    void start() {
        GuardHooks hooks{[this](std::uint32_t type, KeyEvent* event) {
                             if (inGuard) inGuard(event);
                             return guard.handleEvent(type, event);
                         },
                         [this] { return guard.enterPressStartTime.has_value(); },
                         [this] { guard.resetEnterPress(); }};
        tap = std::make_shared<LinuxKeyboardTap>(
            system, hooks, &diagnostics,
            TapOptions{.watchdogSeconds = 0.3, .grabWaitSeconds = 0.05});
        guard.bindSeams({.poster = tap, .tap = tap});
        guard.startMonitoring();
        pump();
    }
    void TearDown() override {
        if (tap) tap->shutdown();
    }
    std::string twin(std::size_t index = 0) {  // what it wrote since the last look
        pump();
        return system->uinput(index)->take();
    }
};

TEST_F(TapTest, TakesKeyboardsWithTheirPointersButNeverItsOwnDevices) {
    auto keyboard = add(0, fake::withPointer(fake::keyboard()));  // a combined receiver
    auto mouse = add(1, fake::withPointer({}));
    fake::Shape own = fake::keyboard("Sendhold Fake keyboard");
    own.id = input_id{kOwnBusType, kOwnVendorId, kOwnProductId, 1};
    auto ownTwin = add(2, own);
    start();
    EXPECT_EQ(guardOut.str() + diagnostics.str(), "監視スタート\n");
    EXPECT_TRUE(keyboard->grabbed());
    EXPECT_FALSE(mouse->grabbed() || ownTwin->grabbed());
    const fake::Uinput& made = *system->uinput(0);
    EXPECT_EQ(made.setup.id.product, kOwnProductId);
    EXPECT_FALSE(made.declared.count({0, EV_REP}));  // repeats come from the keyboard
    keyboard->send({event(EV_REL, REL_X, 5), event(EV_KEY, BTN_LEFT, 1)});
    EXPECT_EQ(twin(), "REL_X=5 BTN_LEFT=1 |");
    auto again = system->add("/dev/input/event3", own, true);  // hot-plugged
    auto second = system->add("/dev/input/event4", fake::keyboard("Second"), true);
    pump();
    EXPECT_FALSE(again->grabbed());
    EXPECT_TRUE(second->grabbed());
    EXPECT_EQ(tap->takenKeyboardCount(), 2u);
}

// Return on a keyboard without Shift keys, Shift held on the other one: the
// posts go to the first twin, and the Shift held elsewhere is never released.
TEST_F(TapTest, PostsGoToThePressOwnersTwinAndLeaveShiftHeldOnAnyKeyboard) {
    auto keyboard = add(0, fake::keyboard("No Shift", false));
    auto other = add(1);
    start();
    for (int shift : {1, 0}) {
        other->key(KEY_LEFTSHIFT, shift);
        pump();
        keyboard->key(KEY_ENTER, 1);
        keyboard->key(KEY_ENTER, 0);
        EXPECT_EQ(twin(0), shift ? "KEY_ENTER=1 | KEY_ENTER=0 |" : kShiftReturn);
        EXPECT_EQ(twin(1), "MSC_SCAN KEY_LEFTSHIFT=" + std::to_string(shift) + " |");
    }
    keyboard->key(KEY_J, 1);  // evdev's 36 is J, not Return
    EXPECT_EQ(twin(0), "MSC_SCAN KEY_J=1 |");
}

// Unplugged with its releases unread, told by udev, shut down: what the twin
// holds is released, and an open press ends.
TEST_F(TapTest, KeysTheTwinsHoldAreReleasedWhenTheKeyboardGoesOrSendholdQuits) {
    auto keyboard = add(0);
    auto other = add(1);
    auto third = add(2);
    start();
    keyboard->key(KEY_A, 1);
    keyboard->key(KEY_ENTER, 1);
    other->key(KEY_B, 1);
    third->key(KEY_C, 1);
    pump();
    keyboard->gone = true;
    keyboard->key(KEY_A, 0);
    system->unplug("/dev/input/event1");
    EXPECT_EQ(twin(0) + twin(1), "MSC_SCAN KEY_A=1 | KEY_A=0 |MSC_SCAN KEY_B=1 | KEY_B=0 |");
    EXPECT_TRUE(system->uinput(0)->destroyed);
    EXPECT_FALSE(guard.enterPressStartTime.has_value());
    EXPECT_EQ(tap->takenKeyboardCount(), 1u);
    tap->shutdown();
    EXPECT_EQ(twin(2), "MSC_SCAN KEY_C=1 | KEY_C=0 |");
    EXPECT_FALSE(third->grabbed());
}

TEST_F(TapTest, SynDroppedVoidsThePartialFrameAndResyncs) {
    auto keyboard = add(0);
    start();
    keyboard->key(KEY_A, 1);
    keyboard->key(KEY_ENTER, 1);
    EXPECT_EQ(twin(), "MSC_SCAN KEY_A=1 |");
    // A frame cut short by the overflow; meanwhile every key came up.
    keyboard->send({event(EV_KEY, KEY_B, 1)}, false);
    keyboard->keys.reset();
    keyboard->send({event(EV_SYN, SYN_DROPPED)});
    EXPECT_EQ(twin(), kShiftReturn + " KEY_A=0 |");  // the lost release ends a short press
    keyboard->key(KEY_C, 1);
    EXPECT_EQ(twin(), "MSC_SCAN KEY_C=1 |");
}

TEST_F(TapTest, WaitsForHeldKeysAndLeavesKeyboardsOtherProgramsHold) {
    auto keyboard = add(0);
    auto taken = add(1, fake::keyboard("Taken"));
    const int otherProgram = taken->open();
    ASSERT_EQ(ioctl(otherProgram, EVIOCGRAB, 1), 0);
    keyboard->keys.set(KEY_ENTER);  // Sendhold was started with Return
    // A key that goes down just as the grab is taken: let go and wait again.
    keyboard->onGrab = [&] { keyboard->keys.set(KEY_A), keyboard->onGrab = nullptr; };
    start();
    pump(150ms);
    EXPECT_EQ(
        diagnostics.str(),
        "sendhold: 'Taken' is taken by another program; Sendhold leaves it alone\n"
        "sendhold: keys are held on 'Fake keyboard'; it is taken over once they are released\n");
    for (unsigned code : {KEY_ENTER, KEY_A}) {
        EXPECT_FALSE(keyboard->grabbed());
        keyboard->key(code, 0);
        pump();
    }
    EXPECT_TRUE(keyboard->grabbed());
    EXPECT_EQ(twin(), "");  // the releases went to the desktop directly
    ::close(otherProgram);
}

TEST_F(TapTest, LightsReachTheKeyboardAndCapsLockShowsInTheFlags) {
    auto keyboard = add(0);
    start();
    std::uint64_t flags = 0;
    inGuard = [&](KeyEvent* event) { flags = event->flags; };
    const input_event light = event(EV_LED, LED_CAPSL, 1);  // the desktop sets it on the twin
    ::send(system->uinput(0)->testFd, &light, sizeof light, 0);
    pump();
    EXPECT_EQ(keyboard->lights(), "LED_CAPSL=1 |");
    keyboard->key(KEY_A, 1);
    pump();
    EXPECT_EQ(flags, kFlagCapsLock);
}

// The loop stalls in the guard in the middle of a frame. Return went down
// before the watchdog let go, B and the Return release after: B reached the
// desktop directly and is not sent again; the press ends as a short one.
TEST_F(TapTest, AStallInTheGuardLetsGoAndNothingIsDoubledOrLost) {
    auto keyboard = add(0);
    start();
    inGuard = [&](KeyEvent*) {
        inGuard = nullptr;
        keyboard->key(KEY_ENTER, 1);
        ASSERT_TRUE(letGo(*keyboard));
        for (auto [code, value] : {std::pair{KEY_B, 1}, {KEY_B, 0}, {KEY_ENTER, 0}})
            keyboard->key(code, value);
    };
    keyboard->send({event(EV_KEY, KEY_A, 1), event(EV_KEY, KEY_C, 1)});
    EXPECT_EQ(twin(), "KEY_A=1 KEY_C=1 | " + kShiftReturn + " KEY_A=0 | KEY_C=0 |");
    EXPECT_NE(diagnostics.str().find("main loop stalled"), std::string::npos);
    keyboard->send({event(EV_KEY, KEY_A, 0), event(EV_KEY, KEY_C, 0)});
    pump();
    keyboard->key(KEY_D, 1);
    EXPECT_EQ(twin(), "MSC_SCAN KEY_D=1 |");  // taken again
}

// A keyboard taken while the watchdog trips (here: in its grab) was never let
// go: it stays taken and keeps working.
TEST_F(TapTest, AKeyboardTakenDuringATripStaysTaken) {
    auto first = add(0);
    auto second = add(1);
    second->keys.set(KEY_ENTER);
    start();
    second->onGrab = [&] {
        second->onGrab = nullptr;
        first->key(KEY_A, 1);
        EXPECT_TRUE(letGo(*first));
    };
    second->key(KEY_ENTER, 0);
    EXPECT_EQ(twin(0), "MSC_SCAN KEY_A=1 | KEY_A=0 |");
    second->key(KEY_B, 1);
    EXPECT_EQ(twin(1), "MSC_SCAN KEY_B=1 |");
}

TEST(TapPermissions, OneLineNamesWhatIsMissingAndHowToGrantIt) {
    struct Case {
        int uinputError, nodeError;
        bool inputDirectory;
        std::vector<std::string> mentions;
    };
    for (const Case& c : std::vector<Case>{
             {ENOENT, 0, true, {"/dev/uinput is missing", "modprobe uinput"}},
             {EACCES, 0, true, {"/dev/uinput is not writable", "70-sendhold.rules"}},
             {0, EACCES, true, {"no /dev/input/event* device is readable", "usermod -aG input"}},
             {EACCES, EACCES, true, {"/dev/uinput is not writable", "input group"}},
             {0, 0, false, {"/dev/input is missing"}},
             {0, 0, true, {}}}) {  // no keyboard plugged in yet: the tap runs
        auto system = std::make_shared<fake::System>();
        if (!c.mentions.empty()) system->add("/dev/input/event0", fake::keyboard());
        system->uinputError = c.uinputError;
        system->nodeError = c.nodeError;
        system->inputDirectory = c.inputDirectory;
        std::ostringstream out, line;
        auto tap = std::make_shared<LinuxKeyboardTap>(system, GuardHooks{}, &line);
        KeyboardManager guard({.tap = tap}, &out);
        guard.startMonitoring();
        const std::string text = line.str();
        EXPECT_EQ(out.str(), c.mentions.empty() ? "監視スタート\n" : "権限エラー\n");
        EXPECT_EQ(text.rfind("sendhold: ", 0), c.mentions.empty() ? std::string::npos : 0);
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), c.mentions.empty() ? 0 : 1);
        for (const std::string& mention : c.mentions)
            EXPECT_NE(text.find(mention), std::string::npos);
    }
}

}  // namespace
}  // namespace sendhold
