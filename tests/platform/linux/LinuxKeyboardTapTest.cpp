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

class ManualClock final : public Clock {
  public:
    double now() override { return seconds; }
    double seconds = 1000;
};

// Timers that fire only when the test says so.
class ManualTimers final : public TimerScheduler {
  public:
    struct Pending final : Timer {
        std::function<void()> action;
        bool live = true;
        void invalidate() override { live = false; }
    };
    std::shared_ptr<Timer> scheduleOneShot(double, std::function<void()> action) override {
        auto timer = std::make_shared<Pending>();
        timer->action = std::move(action);
        pending.push_back(timer);
        return timer;
    }
    void fireAll() {
        auto due = std::move(pending);
        for (auto& timer : due) {
            if (timer->live) {
                timer->live = false;
                timer->action();
            }
        }
    }
    std::vector<std::shared_ptr<Pending>> pending;
};

class Probe final : public CompositionProbe {
  public:
    bool hasMarkedText() override { return composing; }
    bool composing = false;
};

struct Seen {
    std::uint32_t type;
    std::int64_t keyCode;
    std::uint64_t flags;
    std::int64_t userData;
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
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    std::shared_ptr<ManualTimers> timers = std::make_shared<ManualTimers>();
    std::shared_ptr<Probe> probe = std::make_shared<Probe>();
    std::ostringstream guardOut;
    std::ostringstream diagnostics;
    KeyboardManager guard{KeyboardManagerSeams{.clock = clock, .timers = timers, .probe = probe},
                          &guardOut};
    std::vector<Seen> seen;
    TapOptions options{.watchdogSeconds = 0.3, .grabWaitSeconds = 0.05};
    std::shared_ptr<LinuxKeyboardTap> tap;

    void start() {
        GuardHooks hooks{
            [this](std::uint32_t type, KeyEvent* event) {
                seen.push_back({type, event->keyCode, event->flags, event->userData});
                return guard.handleEvent(type, event);
            },
            [this] { return guard.enterPressStartTime.has_value() || guard.isLongPressHandled; },
            [this] { guard.resetEnterPress(); }};
        tap = std::make_shared<LinuxKeyboardTap>(system, hooks, &diagnostics, options);
        guard.bindSeams(KeyboardManagerSeams{.poster = tap, .tap = tap});
        guard.startMonitoring();
        pump();
    }
    void TearDown() override {
        if (tap) tap->shutdown();
    }
    // What the twin number `index` wrote since the last look.
    std::string twin(std::size_t index = 0) {
        if (index >= system->uinputs().size()) return "<no twin>";
        return fake::describe(system->uinputs()[index]->take());
    }
    std::size_t calls(std::uint32_t type) const {
        return static_cast<std::size_t>(
            std::count_if(seen.begin(), seen.end(), [&](const Seen& s) { return s.type == type; }));
    }
};

constexpr const char* kShiftReturn =
    "KEY_LEFTSHIFT=1 | KEY_ENTER=1 | KEY_ENTER=0 | KEY_LEFTSHIFT=0 |";

TEST_F(TapTest, TakesKeyboardsOnlyAndNeverItsOwnDevices) {
    auto keyboard = system->add("/dev/input/event0", fake::keyboardSpec());
    auto mouse = system->add("/dev/input/event1", fake::mouseSpec());
    fake::DeviceSpec own = fake::keyboardSpec("Sendhold Fake keyboard");
    own.id = input_id{kOwnBusType, kOwnVendorId, kOwnProductId, 1};
    auto ownTwin = system->add("/dev/input/event2", own);
    start();
    EXPECT_EQ(guardOut.str(), "監視スタート\n");
    EXPECT_EQ(diagnostics.str(), "");
    EXPECT_TRUE(keyboard->grabbed());
    EXPECT_FALSE(mouse->grabbed());
    EXPECT_FALSE(ownTwin->grabbed());
    ASSERT_EQ(system->uinputs().size(), 1u);

    const fake::Uinput& made = *system->uinputs()[0];
    EXPECT_TRUE(made.created);
    EXPECT_EQ(made.setup.id.vendor, kOwnVendorId);
    EXPECT_EQ(made.setup.id.product, kOwnProductId);
    EXPECT_TRUE(made.declared.count({EV_MSC, MSC_SCAN}));
    EXPECT_TRUE(made.declared.count({EV_LED, LED_CAPSL}));
    EXPECT_TRUE(made.declared.count({EV_KEY, KEY_ENTER}));
    // Repeats come from the keyboard; kernel autorepeat on the twin would double them.
    EXPECT_FALSE(made.declared.count({0, EV_REP}));

    // Hot-plug: the twin's own node is ignored, a new keyboard is taken.
    auto again = system->plug("/dev/input/event3", own);
    auto second = system->plug("/dev/input/event4", fake::keyboardSpec("Second"));
    pump();
    EXPECT_FALSE(again->grabbed());
    EXPECT_TRUE(second->grabbed());
    EXPECT_EQ(tap->takenKeyboardCount(), 2u);
}

TEST_F(TapTest, TranslatesKeysAndKeepsFramesWithTheirScanCodes) {
    auto keyboard = system->add("/dev/input/event0", fake::keyboardSpec());
    start();
    keyboard->press(KEY_J);
    keyboard->repeat(KEY_J);
    keyboard->release(KEY_J);
    pump();
    EXPECT_EQ(twin(), "MSC_SCAN KEY_J=1 | MSC_SCAN KEY_J=2 | MSC_SCAN KEY_J=0 |");
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].type, kEventTypeKeyDown);
    EXPECT_EQ(seen[1].type, kEventTypeKeyDown);
    EXPECT_EQ(seen[2].type, kEventTypeKeyUp);
    EXPECT_NE(seen[0].keyCode, kKeyCodeReturn);
    EXPECT_EQ(seen[0].userData, 0);

    // Modifiers alone go out directly and only change the flags.
    keyboard->press(KEY_LEFTCTRL);
    keyboard->press(KEY_RIGHTSHIFT);
    pump();
    EXPECT_EQ(twin(), "MSC_SCAN KEY_LEFTCTRL=1 | MSC_SCAN KEY_RIGHTSHIFT=1 |");
    EXPECT_EQ(seen.size(), 3u);
    keyboard->press(KEY_KPENTER);
    pump();
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[3].keyCode, kKeyCodeKeypadEnter);
    EXPECT_EQ(seen[3].flags, kFlagControl | kFlagShift);
    EXPECT_EQ(twin(), "MSC_SCAN KEY_KPENTER=1 |");

    // Return with Control held passes whole; without, its frame is not written at all.
    keyboard->press(KEY_ENTER);
    keyboard->release(KEY_ENTER);
    keyboard->release(KEY_LEFTCTRL);
    keyboard->release(KEY_RIGHTSHIFT);
    pump();
    EXPECT_EQ(twin(),
              "MSC_SCAN KEY_ENTER=1 | MSC_SCAN KEY_ENTER=0 | MSC_SCAN KEY_LEFTCTRL=0 | "
              "MSC_SCAN KEY_RIGHTSHIFT=0 |");
    keyboard->press(KEY_ENTER);
    keyboard->repeat(KEY_ENTER);
    pump();
    EXPECT_EQ(twin(), "");
}

TEST_F(TapTest, PointerEventsOfAComboDeviceKeepWorking) {
    auto combo = system->add("/dev/input/event0", fake::comboSpec());
    start();
    ASSERT_TRUE(combo->grabbed());
    EXPECT_TRUE(system->uinputs()[0]->declared.count({EV_REL, REL_X}));
    input_event move[2]{};
    move[0].type = move[1].type = EV_REL;
    move[0].code = REL_X;
    move[0].value = 5;
    move[1].code = REL_Y;
    move[1].value = -3;
    combo->sendFrame({move[0], move[1]});
    combo->press(BTN_LEFT);
    pump();
    EXPECT_EQ(twin(), "REL_X=5 REL_Y=-3 | MSC_SCAN BTN_LEFT=1 |");
    EXPECT_TRUE(seen.empty());

    // A dropped Return leaves the frame, with its scan code; the motion stays.
    input_event scan{};
    scan.type = EV_MSC;
    scan.code = MSC_SCAN;
    input_event enter{};
    enter.type = EV_KEY;
    enter.code = KEY_ENTER;
    enter.value = 1;
    combo->sendFrame({scan, enter, move[0]});
    pump();
    EXPECT_EQ(twin(), "REL_X=5 |");
}

TEST_F(TapTest, PostedEventsFollowTheCurrentEventEachInItsOwnFrame) {
    auto keyboard = system->add("/dev/input/event0", fake::keyboardSpec());
    start();
    keyboard->press(KEY_ENTER);
    pump();
    clock->seconds += 0.1;
    // The release and the next key share a frame: the posts go between them.
    input_event up{};
    up.type = EV_KEY;
    up.code = KEY_ENTER;
    input_event next{};
    next.type = EV_KEY;
    next.code = KEY_A;
    next.value = 1;
    keyboard->sendFrame({up, next});
    pump();
    EXPECT_EQ(twin(), std::string(kShiftReturn) + " KEY_A=1 |");
    // The posted Return events passed the hook again, marked, with the Shift flag.
    std::size_t marked = 0;
    for (const Seen& event : seen) {
        if (event.userData == 55555) {
            ++marked;
            EXPECT_EQ(event.keyCode, kKeyCodeReturn);
            EXPECT_EQ(event.flags, kFlagShift);
        }
    }
    EXPECT_EQ(marked, 2u);

    // A long press: the timer posts one Return while the key is held.
    keyboard->release(KEY_A);
    keyboard->press(KEY_ENTER);
    pump();
    timers->fireAll();
    keyboard->release(KEY_ENTER);
    pump();
    EXPECT_EQ(twin(), "MSC_SCAN KEY_A=0 | KEY_ENTER=1 | KEY_ENTER=0 |");
}

TEST_F(TapTest, PostsGoToTheKeyboardWhoseReturnOpenedThePress) {
    auto first = system->add("/dev/input/event0", fake::keyboardSpec("First"));
    auto second = system->add("/dev/input/event1", fake::keyboardSpec("Second"));
    start();
    ASSERT_EQ(system->uinputs().size(), 2u);
    second->press(KEY_ENTER);
    pump();
    timers->fireAll();
    EXPECT_EQ(twin(0), "");
    EXPECT_EQ(twin(1), "KEY_ENTER=1 | KEY_ENTER=0 |");
}

TEST_F(TapTest, ASynthesizedShiftNeverReleasesTheShiftTheUserHolds) {
    auto keyboard = system->add("/dev/input/event0", fake::keyboardSpec());
    start();
    keyboard->press(KEY_LEFTSHIFT);
    keyboard->press(KEY_ENTER);
    keyboard->release(KEY_ENTER);
    keyboard->press(KEY_A);
    pump();
    EXPECT_EQ(twin(), "MSC_SCAN KEY_LEFTSHIFT=1 | KEY_ENTER=1 | KEY_ENTER=0 | MSC_SCAN KEY_A=1 |");
    keyboard->release(KEY_A);
    keyboard->release(KEY_LEFTSHIFT);
    // With the user's Shift up again, the synthesized one is pressed and released.
    keyboard->press(KEY_ENTER);
    keyboard->release(KEY_ENTER);
    pump();
    EXPECT_EQ(twin(), std::string("MSC_SCAN KEY_A=0 | MSC_SCAN KEY_LEFTSHIFT=0 | ") + kShiftReturn);
}

TEST_F(TapTest, AReleaseTheGuardDropsStillLeavesTheTwinIfItHoldsTheKey) {
    auto keyboard = system->add("/dev/input/event0", fake::keyboardSpec());
    start();
    // The press passes while an input method composes; the release comes after.
    probe->composing = true;
    keyboard->press(KEY_ENTER);
    pump();
    probe->composing = false;
    keyboard->release(KEY_ENTER);
    pump();
    EXPECT_EQ(twin(), "MSC_SCAN KEY_ENTER=1 | MSC_SCAN KEY_ENTER=0 |");
    // A release of a key the twin does not hold stays dropped.
    keyboard->press(KEY_ENTER);
    pump();
    timers->fireAll();
    keyboard->release(KEY_ENTER);
    pump();
    EXPECT_EQ(twin(), "KEY_ENTER=1 | KEY_ENTER=0 |");
}

TEST_F(TapTest, RemovalWithKeysHeldReleasesThemAndEndsThePress) {
    auto keyboard = system->add("/dev/input/event0", fake::keyboardSpec());
    auto other = system->add("/dev/input/event1", fake::keyboardSpec("Other"));
    start();
    keyboard->press(KEY_A);
    keyboard->press(KEY_ENTER);
    pump();
    EXPECT_EQ(twin(), "MSC_SCAN KEY_A=1 |");
    // Unplugged with its releases still unread: reads fail with ENODEV.
    keyboard->vanish();
    keyboard->release(KEY_A);
    pump();
    EXPECT_EQ(twin(), "KEY_A=0 |");
    EXPECT_TRUE(system->uinputs()[0]->destroyed);
    EXPECT_FALSE(guard.enterPressStartTime.has_value());
    timers->fireAll();
    EXPECT_EQ(twin(1), "");
    EXPECT_EQ(tap->takenKeyboardCount(), 1u);

    // Removal announced by udev first works the same.
    other->press(KEY_B);
    pump();
    EXPECT_EQ(twin(1), "MSC_SCAN KEY_B=1 |");
    system->unplug("/dev/input/event1");
    pump();
    EXPECT_EQ(twin(1), "KEY_B=0 |");
    EXPECT_EQ(tap->takenKeyboardCount(), 0u);
}

TEST_F(TapTest, SynDroppedResyncsWithoutStuckKeys) {
    auto keyboard = system->add("/dev/input/event0", fake::keyboardSpec());
    start();
    keyboard->press(KEY_A);
    keyboard->press(KEY_ENTER);
    pump();
    EXPECT_EQ(twin(), "MSC_SCAN KEY_A=1 |");
    // Both keys come up while the buffer overflows; only SYN_DROPPED arrives.
    keyboard->setKeyQuietly(KEY_A, false);
    keyboard->setKeyQuietly(KEY_ENTER, false);
    input_event dropped{};
    dropped.type = EV_SYN;
    dropped.code = SYN_DROPPED;
    keyboard->sendFrame({dropped});
    clock->seconds += 0.1;
    pump();
    // The lost Return release still ends the press as a short one.
    EXPECT_EQ(twin(), std::string(kShiftReturn) + " KEY_A=0 |");
    keyboard->press(KEY_B);
    pump();
    EXPECT_EQ(twin(), "MSC_SCAN KEY_B=1 |");
}

TEST_F(TapTest, WaitsUntilNoKeyIsHeldBeforeTakingAKeyboard) {
    auto keyboard = system->add("/dev/input/event0", fake::keyboardSpec());
    // Sendhold was started with Return: it is still down.
    keyboard->setKeyQuietly(KEY_ENTER, true);
    start();
    EXPECT_EQ(guardOut.str(), "監視スタート\n");
    EXPECT_FALSE(keyboard->grabbed());
    pump(150ms);
    EXPECT_EQ(diagnostics.str(),
              "sendhold: keys are held on 'Fake keyboard'; it is taken over once they are "
              "released\n");
    keyboard->release(KEY_ENTER);
    pump();
    EXPECT_TRUE(keyboard->grabbed());
    // The release went to the desktop directly, not through the twin.
    EXPECT_EQ(twin(), "");
    EXPECT_TRUE(seen.empty());
}

TEST_F(TapTest, AKeyboardAnotherProgramHoldsIsLeftAlone) {
    auto keyboard = system->add("/dev/input/event0", fake::keyboardSpec());
    const int otherProgram = keyboard->open();
    ASSERT_EQ(ioctl(otherProgram, EVIOCGRAB, 1), 0);
    start();
    EXPECT_EQ(tap->takenKeyboardCount(), 0u);
    EXPECT_EQ(diagnostics.str(),
              "sendhold: 'Fake keyboard' is taken by another program; Sendhold leaves it alone\n");
    ::close(otherProgram);
}

TEST_F(TapTest, LightsReachThePhysicalKeyboardAndCapsLockShowsInTheFlags) {
    auto keyboard = system->add("/dev/input/event0", fake::keyboardSpec());
    start();
    system->uinputs()[0]->sendLed(LED_CAPSL, 1);
    pump();
    const std::vector<input_event> lights = keyboard->writtenFeedback();
    ASSERT_EQ(lights.size(), 1u);
    EXPECT_EQ(lights[0].code, LED_CAPSL);
    EXPECT_EQ(lights[0].value, 1);
    keyboard->press(KEY_A);
    pump();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].flags, kFlagCapsLock);
}

TEST_F(TapTest, ShutdownReleasesHeldKeysAndLetsGo) {
    auto keyboard = system->add("/dev/input/event0", fake::keyboardSpec());
    start();
    keyboard->press(KEY_A);
    pump();
    EXPECT_EQ(twin(), "MSC_SCAN KEY_A=1 |");
    tap->shutdown();
    EXPECT_EQ(twin(), "KEY_A=0 |");
    EXPECT_TRUE(system->uinputs()[0]->destroyed);
    EXPECT_FALSE(keyboard->grabbed());
}

TEST_F(TapTest, TheWatchdogLetsGoWhenTheLoopStallsAndTheKeyboardIsTakenAgain) {
    ASSERT_EQ(setenv("SENDHOLD_TEST_STALL_SECONDS", "0.9", 1), 0);
    installProcessSignalHandlers();
    auto keyboard = system->add("/dev/input/event0", fake::keyboardSpec());
    start();
    keyboard->press(KEY_A);
    pump();
    EXPECT_EQ(twin(), "MSC_SCAN KEY_A=1 |");

    bool letGoDuringStall = false;
    std::thread typist([&] {
        std::this_thread::sleep_for(100ms);
        keyboard->press(KEY_B);
        std::this_thread::sleep_for(600ms);
        letGoDuringStall = !keyboard->grabbed();
    });
    // The test hook: SIGUSR1 blocks the main loop for 0.9 s.
    const auto before = std::chrono::steady_clock::now();
    raise(SIGUSR1);
    pump();
    EXPECT_GE(std::chrono::steady_clock::now() - before, 850ms);
    typist.join();
    pump();
    EXPECT_TRUE(letGoDuringStall);
    EXPECT_EQ(calls(kEventTypeTapDisabledByTimeout), 1u);
    // B was typed before the grab was let go and reached only Sendhold: it goes
    // out; then everything the twin holds is released.
    EXPECT_EQ(twin(), "MSC_SCAN KEY_B=1 | KEY_A=0 | KEY_B=0 |");
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
    pump();
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
    };
    for (const Case& c : cases) {
        auto system = std::make_shared<fake::System>();
        system->add("/dev/input/event0", fake::keyboardSpec());
        system->uinputError = c.uinputError;
        system->nodeError = c.nodeError;
        system->inputDirectory = c.inputDirectory;
        std::ostringstream out;
        std::ostringstream diagnostics;
        auto tap = std::make_shared<LinuxKeyboardTap>(system, GuardHooks{}, &diagnostics);
        KeyboardManager guard(KeyboardManagerSeams{.tap = tap}, &out);
        guard.startMonitoring();
        EXPECT_EQ(out.str(), "権限エラー\n");
        const std::string line = diagnostics.str();
        EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << line;
        EXPECT_EQ(line.rfind("sendhold: ", 0), 0u) << line;
        EXPECT_NE(line.find("README"), std::string::npos) << line;
        for (const std::string& mention : c.mentions) {
            EXPECT_NE(line.find(mention), std::string::npos) << line;
        }
    }
}

TEST(TapPermissions, StartsWithNoKeyboardPluggedIn) {
    auto system = std::make_shared<fake::System>();
    std::ostringstream out;
    std::ostringstream diagnostics;
    auto tap = std::make_shared<LinuxKeyboardTap>(system, GuardHooks{}, &diagnostics);
    KeyboardManager guard(KeyboardManagerSeams{.tap = tap}, &out);
    guard.startMonitoring();
    EXPECT_EQ(out.str(), "監視スタート\n");
    EXPECT_EQ(diagnostics.str(), "");
}

}  // namespace
}  // namespace sendhold
