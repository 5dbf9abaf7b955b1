#include "KeyboardManager.h"

#include <chrono>
#include <cmath>
#include <vector>

#include "Diagnostics.h"

namespace sendhold {
namespace {

// Inert defaults: a manager that nobody has wired up still answers correctly
// for everything but the long press, which needs a real timer.
class SystemClock final : public Clock {
  public:
    double now() override {
        using namespace std::chrono;
        return duration<double>(system_clock::now().time_since_epoch()).count();
    }
};

class InertTimer final : public Timer {
  public:
    void invalidate() override {}
};

class InertTimerScheduler final : public TimerScheduler {
  public:
    std::shared_ptr<Timer> scheduleOneShot(double, std::function<void()>) override {
        return std::make_shared<InertTimer>();
    }
};

class InertPoster final : public EventPoster {
  public:
    void post(const PostedKeyEvent&) override {}
};

class NoComposition final : public CompositionProbe {
  public:
    bool hasMarkedText() override { return false; }
};

class NothingStored final : public DurationReader {
  public:
    double storedLongPressDuration() override { return 0; }
};

void fillDefaults(KeyboardManagerSeams& seams) {
    if (!seams.clock) seams.clock = std::make_shared<SystemClock>();
    if (!seams.timers) seams.timers = std::make_shared<InertTimerScheduler>();
    if (!seams.poster) seams.poster = std::make_shared<InertPoster>();
    if (!seams.probe) seams.probe = std::make_shared<NoComposition>();
    if (!seams.durations) seams.durations = std::make_shared<NothingStored>();
}

}  // namespace

double longPressThreshold(double storedDuration) {
    if (storedDuration == 0 || !std::isfinite(storedDuration)) return defaultLongPressDuration;
    return storedDuration;
}

KeyboardManager& KeyboardManager::shared() {
    // A function-local static is initialised exactly once, even under concurrent first use.
    static KeyboardManager* const instance = new KeyboardManager();
    return *instance;
}

KeyboardManager::KeyboardManager(KeyboardManagerSeams seams) : seams_(std::move(seams)) {
    fillDefaults(seams_);
}

KeyboardManager::~KeyboardManager() {
    // The pending timer's action refers to this manager; it must not outlive it.
    if (enterPressTimer) enterPressTimer->invalidate();
}

void KeyboardManager::bindSeams(const KeyboardManagerSeams& seams) {
    if (seams.clock) seams_.clock = seams.clock;
    if (seams.timers) seams_.timers = seams.timers;
    if (seams.poster) seams_.poster = seams.poster;
    if (seams.probe) seams_.probe = seams.probe;
    if (seams.durations) seams_.durations = seams.durations;
    if (seams.tap) seams_.tap = seams.tap;
}

void KeyboardManager::startMonitoring() {
    if (eventTap) return;
    std::shared_ptr<EventTap> tap = seams_.tap;
    if (!tap || !tap->create()) {
        printStatus("権限エラー");
        return;
    }
    eventTap = tap;
    runLoopSource = tap;
    tap->enable();
    printStatus("監視スタート");
}

KeyEvent* KeyboardManager::eventTapCallback(void*, std::uint32_t type, KeyEvent* event, void*) {
    return shared().handleEvent(type, event);
}

KeyEvent* KeyboardManager::handleEvent(std::uint32_t type, KeyEvent* event) {
    if (!event || event->userData == magicNumber) return event;
    const bool keyDownOrUp = type == kEventTypeKeyDown || type == kEventTypeKeyUp;

    if (event->keyCode != kKeyCodeReturn) {
        // Rollover: another key going down while Return is held decides the
        // press there and then, so that "ls<Return>cd" typed fast keeps its
        // order. The replacement is posted before the key that decided it is
        // let through. Modifiers alone decide nothing: they may be the start of
        // a chord, and Shift is part of the replacement itself.
        if (type == kEventTypeKeyDown && !isModifierKeyCode(event->keyCode) && pressIsUndecided()) {
            deliverHeldPress();
        }
        return event;
    }

    // A press the guard took stays the guard's until its release, whatever
    // changed meanwhile (the switch, a modifier, a composition): the
    // application never saw Return go down, so it gets the press as its
    // duration says and never a bare release.
    if (pressIsOpen() && keyDownOrUp) {
        if (type == kEventTypeKeyUp) keyUp();
        return nullptr;
    }
    if (!isEnabled || isOffInFrontApplication || !keyDownOrUp) return event;
    if (event->flags & kBypassModifierMask) return event;
    if (seams_.probe->hasMarkedText()) return event;

    if (type == kEventTypeKeyUp) {
        // A release with no press the guard took: its key-down never reached
        // the application either.
        resetEnterPress();
        return nullptr;
    }
    keyDown();
    return nullptr;
}

void KeyboardManager::keyDown() {
    enterPressStartTime = seams_.clock->now();
    enterPressTimer =
        seams_.timers->scheduleOneShot(currentThreshold(), [this] { longPressAction(); });
}

void KeyboardManager::keyUp() {
    if (pressIsUndecided()) deliverHeldPress();
    resetEnterPress();
}

void KeyboardManager::deliverHeldPress() {
    if (enterPressTimer) enterPressTimer->invalidate();
    // "threshold > elapsed", compared as deadline against now so that it agrees
    // exactly with the timer, whose deadline is start + threshold.
    const double now = seams_.clock->now();
    if (*enterPressStartTime + currentThreshold() > now) {
        postShiftEnter();
    } else {
        // The threshold has passed but the timer has not run yet (the main loop
        // was busy, or the release came exactly at the threshold): deliver the
        // Return the timer would have delivered, so the keystroke is not lost.
        postEnter();
    }
    isLongPressHandled = true;
}

void KeyboardManager::longPressAction() {
    postEnter();
    isLongPressHandled = true;
}

double KeyboardManager::currentThreshold() {
    return longPressThreshold(seams_.durations->storedLongPressDuration());
}

void KeyboardManager::resetEnterPress() {
    enterPressStartTime.reset();
    if (enterPressTimer) enterPressTimer->invalidate();
    enterPressTimer.reset();
    isLongPressHandled = false;
}

void KeyboardManager::postSequence(std::initializer_list<SequenceStep> steps) {
    // Every event is made first, then flagged and stamped, then all are posted in
    // order. One that cannot be made is skipped; the rest still go out.
    std::vector<PostedKeyEvent> events;
    events.reserve(steps.size());
    for (const SequenceStep& step : steps) {
        std::optional<PostedKeyEvent> event =
            seams_.poster->createKeyboardEvent(step.keyCode, step.keyDown);
        if (!event) continue;
        if (step.flags) event->flags = step.flags;
        event->userData = magicNumber;
        events.push_back(*event);
    }
    for (const PostedKeyEvent& event : events) seams_.poster->post(event);
}

void KeyboardManager::postShiftEnter() {
    postSequence({{kKeyCodeShift, true, std::nullopt},
                  {kKeyCodeReturn, true, kFlagShift},
                  {kKeyCodeReturn, false, kFlagShift},
                  {kKeyCodeShift, false, std::nullopt}});
}

void KeyboardManager::postEnter() {
    postSequence({{kKeyCodeReturn, true, std::nullopt}, {kKeyCodeReturn, false, std::nullopt}});
}

}  // namespace sendhold
