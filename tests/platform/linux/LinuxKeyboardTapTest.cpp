#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>

#include <QCoreApplication>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "FakeKernel.h"
#include "KeyboardManager/KeyboardManager.h"
#include "LinuxKeyboardTap.h"
#include "OwnDeviceId.h"
#include "ProcessSignals.h"

namespace sendhold {
namespace {

using namespace std::chrono_literals;
using fake::event;

// Time that moves, and timers that fire, only when the test says so.
struct ManualTime final : Clock, TimerScheduler {
    struct Pending final : Timer {
        std::function<void()> action;
        void invalidate() override { action = nullptr; }
    };
    double now() override { return seconds; }
    std::shared_ptr<Timer> scheduleOneShot(double, std::function<void()> action) override {
        auto timer = std::make_shared<Pending>();
        timer->action = std::move(action);
        return pending.emplace_back(timer);
    }
    void fireAll() {
        for (auto& timer : std::exchange(pending, {})) {
            if (auto action = std::exchange(timer->action, nullptr)) action();
        }
    }
    double seconds = 1000;
    std::vector<std::shared_ptr<Pending>> pending;
};

struct Probe final : CompositionProbe {
    bool hasMarkedText() override { return composing; }
    bool composing = false;
};

struct Seen {
    std::uint32_t type;
    std::int64_t keyCode;
    std::uint64_t flags;
    std::int64_t userData;
    bool operator==(const Seen&) const = default;
};

void pump(std::chrono::milliseconds forAtLeast = 0ms) {
    const auto until = std::chrono::steady_clock::now() + forAtLeast;
    do {
        for (int i = 0; i < 4; ++i) QCoreApplication::processEvents();
    } while (std::chrono::steady_clock::now() < until);
}

class TapTest : public ::testing::Test {
  protected:
    std::shared_ptr<fake::System> system = std::make_shared<fake::System>();
    std::shared_ptr<ManualTime> time = std::make_shared<ManualTime>();
    std::shared_ptr<Probe> probe = std::make_shared<Probe>();
    std::ostringstream guardOut;
    std::ostringstream diagnostics;
    KeyboardManager guard{KeyboardManagerSeams{.clock = time, .timers = time, .probe = probe},
                          &guardOut};
    std::vector<Seen> seen;
    std::shared_ptr<LinuxKeyboardTap> tap;

    std::shared_ptr<fake::Device> add(int index = 0,
                                      fake::DeviceShape shape = fake::keyboardShape()) {
        return system->add("/dev/input/event" + std::to_string(index), std::move(shape));
    }
    void start() {
        GuardHooks hooks{
            [this](std::uint32_t type, KeyEvent* event) {
                seen.push_back({type, event->keyCode, event->flags, event->userData});
                return guard.handleEvent(type, event);
            },
            [this] { return guard.enterPressStartTime.has_value() || guard.isLongPressHandled; },
            [this] { guard.resetEnterPress(); }};
        tap = std::make_shared<LinuxKeyboardTap>(
            system, hooks, &diagnostics,
            TapOptions{.watchdogSeconds = 0.3, .grabWaitSeconds = 0.05});
        guard.bindSeams(KeyboardManagerSeams{.poster = tap, .tap = tap});
        guard.startMonitoring();
        pump();
    }
    std::shared_ptr<fake::Device> startWithKeyboard() {
        auto keyboard = add();
        start();
        return keyboard;
    }
    void TearDown() override {
        if (tap) tap->shutdown();
    }
    // What virtual device number `index` wrote since the last look.
    std::string twin(std::size_t index = 0) {
        pump();
        if (index >= system->uinputs().size()) return "<no twin>";
        return fake::describe(system->uinputs()[index]->take());
    }
};

constexpr const char* kShiftReturn =
    "KEY_LEFTSHIFT=1 | KEY_ENTER=1 | KEY_ENTER=0 | KEY_LEFTSHIFT=0 |";

TEST_F(TapTest, TakesKeyboardsWithTheirPointersButNeverItsOwnDevices) {
    auto keyboard = add(0, fake::withPointer(fake::keyboardShape()));  // a combined receiver
    auto mouse = add(1, fake::withPointer({}));
    fake::DeviceShape own = fake::keyboardShape("Sendhold Fake keyboard");
    own.id = input_id{kOwnBusType, kOwnVendorId, kOwnProductId, 1};
    auto ownTwin = add(2, own);
    start();
    EXPECT_EQ(guardOut.str(), "監視スタート\n");
    EXPECT_EQ(diagnostics.str(), "");
    EXPECT_TRUE(keyboard->grabbed());
    EXPECT_FALSE(mouse->grabbed());
    EXPECT_FALSE(ownTwin->grabbed());
    ASSERT_EQ(system->uinputs().size(), 1u);
    const fake::Uinput& made = *system->uinputs()[0];
    EXPECT_EQ(made.setup.id.vendor, kOwnVendorId);
    EXPECT_EQ(made.setup.id.product, kOwnProductId);
    for (auto code :
         {std::pair{EV_MSC, MSC_SCAN}, {EV_LED, LED_CAPSL}, {EV_KEY, KEY_ENTER}, {EV_REL, REL_X}}) {
        EXPECT_TRUE(made.declared.count({code.first, code.second})) << code.second;
    }
    // Repeats come from the keyboard; kernel autorepeat on the twin would double them.
    EXPECT_FALSE(made.declared.count({0, EV_REP}));

    // Hot-plug: the twin's own node is ignored, a new keyboard is taken.
    auto again = system->plug("/dev/input/event3", own);
    auto second = system->plug("/dev/input/event4", fake::keyboardShape("Second"));
    pump();
    EXPECT_FALSE(again->grabbed());
    EXPECT_TRUE(second->grabbed());
    EXPECT_EQ(tap->takenKeyboardCount(), 2u);

    // The pointer keeps working; a dropped Return leaves its frame, with its
    // scan code, and the motion stays.
    keyboard->sendFrame({event(EV_REL, REL_X, 5), event(EV_REL, REL_Y, -3)});
    keyboard->press(BTN_LEFT);
    EXPECT_EQ(twin(), "REL_X=5 REL_Y=-3 | MSC_SCAN BTN_LEFT=1 |");
    EXPECT_TRUE(seen.empty());
    keyboard->sendFrame(
        {event(EV_MSC, MSC_SCAN), event(EV_KEY, KEY_ENTER, 1), event(EV_REL, REL_X, 5)});
    EXPECT_EQ(twin(), "REL_X=5 |");
}

TEST_F(TapTest, TranslatesKeysAndKeepsFramesWithTheirScanCodes) {
    auto keyboard = startWithKeyboard();
    keyboard->press(KEY_J);
    keyboard->repeat(KEY_J);
    keyboard->release(KEY_J);
    EXPECT_EQ(twin(), "MSC_SCAN KEY_J=1 | MSC_SCAN KEY_J=2 | MSC_SCAN KEY_J=0 |");
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0], seen[1]) << "a repeat is a key-down";
    EXPECT_EQ(seen[2].type, kEventTypeKeyUp);
    EXPECT_EQ(seen[0].type, kEventTypeKeyDown);
    EXPECT_NE(seen[0].keyCode, kKeyCodeReturn) << "evdev's 36 is J";
    EXPECT_EQ(seen[0].userData, 0);

    // Modifiers alone go out directly and only change the flags.
    keyboard->press(KEY_LEFTCTRL);
    keyboard->press(KEY_RIGHTSHIFT);
    EXPECT_EQ(twin(), "MSC_SCAN KEY_LEFTCTRL=1 | MSC_SCAN KEY_RIGHTSHIFT=1 |");
    EXPECT_EQ(seen.size(), 3u);
    keyboard->press(KEY_KPENTER);
    EXPECT_EQ(twin(), "MSC_SCAN KEY_KPENTER=1 |");
    EXPECT_EQ(seen.back(),
              (Seen{kEventTypeKeyDown, kKeyCodeKeypadEnter, kFlagControl | kFlagShift, 0}));

    // Return with Control held passes whole; without, its frame is not written at all.
    keyboard->press(KEY_ENTER);
    for (auto code : {KEY_ENTER, KEY_LEFTCTRL, KEY_RIGHTSHIFT}) keyboard->release(code);
    EXPECT_EQ(twin(),
              "MSC_SCAN KEY_ENTER=1 | MSC_SCAN KEY_ENTER=0 | MSC_SCAN KEY_LEFTCTRL=0 | "
              "MSC_SCAN KEY_RIGHTSHIFT=0 |");
    keyboard->press(KEY_ENTER);
    keyboard->repeat(KEY_ENTER);
    EXPECT_EQ(twin(), "");
}

TEST_F(TapTest, PostsFollowTheCurrentEventInFramesOfTheirOwnOnTheKeyboardThatOpenedThePress) {
    auto first = add(0);
    auto second = add(1, fake::keyboardShape("Second"));
    start();
    first->press(KEY_ENTER);
    pump();
    time->seconds += 0.1;
    // The release and the next key share a frame: the posts go between them.
    first->sendFrame({event(EV_KEY, KEY_ENTER, 0), event(EV_KEY, KEY_A, 1)});
    EXPECT_EQ(twin(0), std::string(kShiftReturn) + " KEY_A=1 |");
    // The posted Return events passed the hook again, marked, with the Shift flag.
    std::vector<Seen> marked;
    std::copy_if(seen.begin(), seen.end(), std::back_inserter(marked),
                 [](const Seen& s) { return s.userData != 0; });
    EXPECT_EQ(marked, (std::vector<Seen>{{kEventTypeKeyDown, kKeyCodeReturn, kFlagShift, 55555},
                                         {kEventTypeKeyUp, kKeyCodeReturn, kFlagShift, 55555}}));

    // A long press on the other keyboard: the timer posts one Return on its twin.
    second->press(KEY_ENTER);
    pump();
    time->fireAll();
    second->release(KEY_ENTER);
    EXPECT_EQ(twin(0), "");
    EXPECT_EQ(twin(1), "KEY_ENTER=1 | KEY_ENTER=0 |");
}

TEST_F(TapTest, ASynthesizedShiftNeverReleasesTheShiftTheUserHolds) {
    auto keyboard = startWithKeyboard();
    keyboard->press(KEY_LEFTSHIFT);
    keyboard->press(KEY_ENTER);
    keyboard->release(KEY_ENTER);
    keyboard->press(KEY_A);
    EXPECT_EQ(twin(), "MSC_SCAN KEY_LEFTSHIFT=1 | KEY_ENTER=1 | KEY_ENTER=0 | MSC_SCAN KEY_A=1 |");
    keyboard->release(KEY_A);
    keyboard->release(KEY_LEFTSHIFT);
    // With the user's Shift up again, the synthesized one is pressed and released.
    keyboard->press(KEY_ENTER);
    keyboard->release(KEY_ENTER);
    EXPECT_EQ(twin(), std::string("MSC_SCAN KEY_A=0 | MSC_SCAN KEY_LEFTSHIFT=0 | ") + kShiftReturn);
}

TEST_F(TapTest, AReleaseTheGuardDropsStillLeavesTheTwinIfItHoldsTheKey) {
    auto keyboard = startWithKeyboard();
    // The press passes while an input method composes; the release comes after.
    probe->composing = true;
    keyboard->press(KEY_ENTER);
    pump();
    probe->composing = false;
    keyboard->release(KEY_ENTER);
    EXPECT_EQ(twin(), "MSC_SCAN KEY_ENTER=1 | MSC_SCAN KEY_ENTER=0 |");
    // A release of a key the twin does not hold stays dropped.
    keyboard->press(KEY_ENTER);
    pump();
    time->fireAll();
    keyboard->release(KEY_ENTER);
    EXPECT_EQ(twin(), "KEY_ENTER=1 | KEY_ENTER=0 |");
}

TEST_F(TapTest, RemovalWithKeysHeldReleasesThemAndEndsThePress) {
    auto keyboard = add(0);
    auto other = add(1, fake::keyboardShape("Other"));
    start();
    keyboard->press(KEY_A);
    keyboard->press(KEY_ENTER);
    EXPECT_EQ(twin(), "MSC_SCAN KEY_A=1 |");
    // Unplugged with its releases still unread: reads fail with ENODEV.
    keyboard->vanish();
    keyboard->release(KEY_A);
    EXPECT_EQ(twin(), "KEY_A=0 |");
    EXPECT_TRUE(system->uinputs()[0]->destroyed);
    EXPECT_FALSE(guard.enterPressStartTime.has_value());
    time->fireAll();
    EXPECT_EQ(twin(1), "");
    EXPECT_EQ(tap->takenKeyboardCount(), 1u);

    // Removal announced by udev first works the same.
    other->press(KEY_B);
    EXPECT_EQ(twin(1), "MSC_SCAN KEY_B=1 |");
    system->unplug("/dev/input/event1");
    EXPECT_EQ(twin(1), "KEY_B=0 |");
    EXPECT_EQ(tap->takenKeyboardCount(), 0u);
}

TEST_F(TapTest, SynDroppedResyncsWithoutStuckKeys) {
    auto keyboard = startWithKeyboard();
    keyboard->press(KEY_A);
    keyboard->press(KEY_ENTER);
    EXPECT_EQ(twin(), "MSC_SCAN KEY_A=1 |");
    // Both keys come up while the buffer overflows; only SYN_DROPPED arrives.
    keyboard->setKeyQuietly(KEY_A, false);
    keyboard->setKeyQuietly(KEY_ENTER, false);
    keyboard->sendFrame({event(EV_SYN, SYN_DROPPED)});
    time->seconds += 0.1;
    // The lost Return release still ends the press as a short one.
    EXPECT_EQ(twin(), std::string(kShiftReturn) + " KEY_A=0 |");
    keyboard->press(KEY_B);
    EXPECT_EQ(twin(), "MSC_SCAN KEY_B=1 |");
}

TEST_F(TapTest, WaitsForHeldKeysAndLeavesKeyboardsOtherProgramsHold) {
    auto keyboard = add(0);
    auto taken = add(1, fake::keyboardShape("Taken"));
    const int otherProgram = taken->open();
    ASSERT_EQ(ioctl(otherProgram, EVIOCGRAB, 1), 0);
    // Sendhold was started with Return: it is still down.
    keyboard->setKeyQuietly(KEY_ENTER, true);
    start();
    EXPECT_EQ(guardOut.str(), "監視スタート\n");
    EXPECT_FALSE(keyboard->grabbed());
    pump(150ms);
    EXPECT_EQ(diagnostics.str(),
              "sendhold: 'Taken' is taken by another program; Sendhold leaves it alone\n"
              "sendhold: keys are held on 'Fake keyboard'; it is taken over once they are "
              "released\n");
    keyboard->release(KEY_ENTER);
    pump();
    EXPECT_TRUE(keyboard->grabbed());
    EXPECT_EQ(tap->takenKeyboardCount(), 1u);
    // The release went to the desktop directly, not through the twin.
    EXPECT_EQ(twin(), "");
    EXPECT_TRUE(seen.empty());
    ::close(otherProgram);
}

TEST_F(TapTest, LightsReachTheKeyboardCapsLockShowsInTheFlagsAndShutdownLetsGo) {
    auto keyboard = startWithKeyboard();
    system->uinputs()[0]->sendLed(LED_CAPSL, 1);
    pump();
    const std::vector<input_event> lights = keyboard->writtenFeedback();
    ASSERT_EQ(lights.size(), 1u);
    EXPECT_EQ(fake::describe(lights), "LED_CAPSL=1");
    keyboard->press(KEY_A);
    EXPECT_EQ(twin(), "MSC_SCAN KEY_A=1 |");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].flags, kFlagCapsLock);
    // Shutdown releases what the twin holds and lets go.
    tap->shutdown();
    EXPECT_EQ(twin(), "KEY_A=0 |");
    EXPECT_TRUE(system->uinputs()[0]->destroyed);
    EXPECT_FALSE(keyboard->grabbed());
}

TEST_F(TapTest, TheWatchdogLetsGoWhenTheLoopStallsAndTheKeyboardIsTakenAgain) {
    ASSERT_EQ(setenv("SENDHOLD_TEST_STALL_SECONDS", "0.9", 1), 0);
    installProcessSignalHandlers();
    auto keyboard = startWithKeyboard();
    keyboard->press(KEY_A);
    EXPECT_EQ(twin(), "MSC_SCAN KEY_A=1 |");

    bool letGoDuringStall = false;
    std::thread typist([&] {
        std::this_thread::sleep_for(100ms);
        keyboard->press(KEY_B);
        std::this_thread::sleep_for(600ms);
        letGoDuringStall = !keyboard->grabbed();
    });
    // The main loop is blocked for 0.9 s.
    const auto before = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(900ms);
    pump();
    EXPECT_GE(std::chrono::steady_clock::now() - before, 850ms);
    typist.join();
    EXPECT_TRUE(letGoDuringStall);
    // B was typed before the grab was let go and reached only Sendhold: it goes
    // out; then everything the twin holds is released.
    EXPECT_EQ(twin(), "MSC_SCAN KEY_B=1 | KEY_A=0 | KEY_B=0 |");
    EXPECT_EQ(std::count_if(seen.begin(), seen.end(),
                            [](auto& s) { return s.type == kEventTypeTapDisabledByTimeout; }),
              1);
    EXPECT_NE(diagnostics.str().find("main loop stalled"), std::string::npos);

    // Taken again once no key is held.
    EXPECT_FALSE(keyboard->grabbed());
    keyboard->release(KEY_A);
    pump();
    EXPECT_FALSE(keyboard->grabbed());
    keyboard->release(KEY_B);
    pump();
    EXPECT_TRUE(keyboard->grabbed());
    keyboard->press(KEY_C);
    EXPECT_EQ(twin(), "MSC_SCAN KEY_C=1 |");
}

// One line on standard error names what is missing; the guard says 権限エラー.
TEST(TapPermissions, OneLineNamesWhatIsMissingAndHowToGrantIt) {
    struct Case {
        int uinputError;
        int nodeError;
        bool inputDirectory;
        std::vector<std::string> mentions;
    };
    const std::vector<Case> cases = {
        {ENOENT, 0, true, {"/dev/uinput is missing", "modprobe uinput"}},
        {EACCES, 0, true, {"/dev/uinput is not writable", "70-sendhold.rules"}},
        {0, EACCES, true, {"no /dev/input/event* device is readable", "usermod -aG input"}},
        {EACCES, EACCES, true, {"/dev/uinput is not writable", "input group"}},
        {0, 0, false, {"/dev/input is missing"}},
        {0, 0, true, {}},  // no keyboard plugged in yet: the tap runs
    };
    for (const Case& c : cases) {
        auto system = std::make_shared<fake::System>();
        if (!c.mentions.empty()) system->add("/dev/input/event0", fake::keyboardShape());
        system->uinputError = c.uinputError;
        system->nodeError = c.nodeError;
        system->inputDirectory = c.inputDirectory;
        std::ostringstream out;
        std::ostringstream diagnostics;
        auto tap = std::make_shared<LinuxKeyboardTap>(system, GuardHooks{}, &diagnostics);
        KeyboardManager guard(KeyboardManagerSeams{.tap = tap}, &out);
        guard.startMonitoring();
        const std::string line = diagnostics.str();
        if (c.mentions.empty()) {
            EXPECT_EQ(out.str(), "監視スタート\n");
            EXPECT_EQ(line, "");
            continue;
        }
        EXPECT_EQ(out.str(), "権限エラー\n");
        EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << line;
        EXPECT_EQ(line.rfind("sendhold: ", 0), 0u) << line;
        EXPECT_NE(line.find("README"), std::string::npos) << line;
        for (const std::string& mention : c.mentions) {
            EXPECT_NE(line.find(mention), std::string::npos) << line;
        }
    }
}

}  // namespace
}  // namespace sendhold
