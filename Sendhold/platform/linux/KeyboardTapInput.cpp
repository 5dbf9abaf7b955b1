// The tap's input side: frames read from the keyboards, what the guard posts,
// and what is left to do after the watchdog let the keyboards go.
#include <algorithm>

#include "Diagnostics.h"
#include "KeyTranslation.h"
#include "LinuxKeyboardTap.h"
#include "TimeUnits.h"

namespace sendhold {
namespace {

std::int64_t frameTimeNs(const std::vector<input_event>& frame) {
    const input_event& last = frame.back();
    return nanosecondsOf(last.input_event_sec, last.input_event_usec, 1'000'000);
}

bool releasesAKey(const std::vector<input_event>& frame) {
    return std::any_of(frame.begin(), frame.end(),
                       [](const input_event& e) { return e.type == EV_KEY && e.value == 0; });
}

}  // namespace

// One keyboard's side of forwarding a frame.
class LinuxKeyboardTap::Sink final : public FrameSink {
  public:
    Sink(LinuxKeyboardTap& tap, Keyboard& keyboard) : tap_(tap), keyboard_(keyboard) {}
    bool dispatchKey(const input_event& key) override { return tap_.dispatchKey(keyboard_, key); }
    bool holds(unsigned code) const override { return keyboard_.output->holds(code); }
    void writeFrame(std::span<const input_event> events) override {
        keyboard_.output->writeFrame(events);
    }
    bool hasPosts() const override { return !tap_.posts_.empty(); }
    void drainPosts() override { tap_.drainPosts(); }

  private:
    LinuxKeyboardTap& tap_;
    Keyboard& keyboard_;
};

void LinuxKeyboardTap::serviceKeyboard(const std::string& devnode) {
    auto found = keyboards_.find(devnode);
    if (found == keyboards_.end()) return;
    Keyboard& keyboard = *found->second;
    if (keyboard.watch) keyboard.watch->served();
    std::vector<input_event> frame;
    for (;;) {
        // The loop may have stalled in the guard in the middle of this: once the
        // watchdog let go, the rest is the trip's to sort out.
        if (watchdog_ && watchdog_->tripped()) {
            handleWatchdogTrip();
            return;
        }
        switch (keyboard.source->readFrame(frame)) {
            case SourceDevice::ReadStatus::Empty:
                return;
            case SourceDevice::ReadStatus::Gone:
                removeKeyboard(devnode);
                return;
            case SourceDevice::ReadStatus::Frame:
                break;
        }
        if (keyboard.state == State::Taken) {
            // Sent after the grab was let go, it reached the desktop directly.
            if (wasLetGo(keyboard) && frameTimeNs(frame) >= watchdog_->tripTimeNs()) {
                handleWatchdogTrip();
                return;
            }
            processFrame(keyboard, frame);
        } else if (keyboard.state == State::Waiting && releasesAKey(frame)) {
            // Retried when a key comes up, never by polling.
            if (!tryTake(keyboard)) return;
        }
    }
}

bool LinuxKeyboardTap::wasLetGo(const Keyboard& keyboard) const {
    return keyboard.watch && keyboard.watch->wasLetGo();
}

void LinuxKeyboardTap::serviceFeedback(const std::string& devnode) {
    auto found = keyboards_.find(devnode);
    if (found == keyboards_.end()) return;
    Keyboard& keyboard = *found->second;
    // The desktop sets the lights on the twin; they belong on the real keyboard.
    for (const input_event& event : keyboard.output->readFeedback()) {
        if (event.type == EV_LED && event.code == LED_CAPSL) keyboard.capsLock = event.value != 0;
        keyboard.source->sendFeedback(event);
    }
}

void LinuxKeyboardTap::processFrame(Keyboard& keyboard, const std::vector<input_event>& frame) {
    Sink sink(*this, keyboard);
    forwardFrame(frame, sink);
}

bool LinuxKeyboardTap::dispatchKey(Keyboard& keyboard, const input_event& event) {
    const std::uint32_t type = event.value == 0 ? kEventTypeKeyUp : kEventTypeKeyDown;
    KeyEvent key{guardKeyCode(event.code), currentFlags(), 0};
    const bool wasOpen = guard_.pressIsOpen();
    dispatching_ = true;
    const KeyEvent* result = guard_.callback(type, &key);
    dispatching_ = false;
    if (event.code == KEY_ENTER && !wasOpen && guard_.pressIsOpen()) pressOwner_ = &keyboard;
    return result != nullptr;
}

std::optional<PostedKeyEvent> LinuxKeyboardTap::createKeyboardEvent(std::int64_t keyCode,
                                                                    bool keyDown) {
    if (!evdevKeyCode(keyCode)) return std::nullopt;
    return PostedKeyEvent{keyCode, keyDown, std::nullopt, 0};
}

void LinuxKeyboardTap::post(const PostedKeyEvent& event) {
    posts_.push_back(event);
    // Inside the guard's callback the event waits until the current one is done.
    if (!dispatching_) drainPosts();
}

LinuxKeyboardTap::Keyboard* LinuxKeyboardTap::postTarget() {
    if (pressOwner_ && pressOwner_->output) return pressOwner_;
    Keyboard* fallback = nullptr;
    for (auto& [node, keyboard] : keyboards_) {
        if (!keyboard->output) continue;
        if (keyboard->state == State::Taken) return keyboard.get();
        if (!fallback) fallback = keyboard.get();
    }
    return fallback;
}

bool LinuxKeyboardTap::anyTwinHolds(unsigned code) const {
    return std::any_of(keyboards_.begin(), keyboards_.end(), [code](const auto& entry) {
        return entry.second->output && entry.second->output->holds(code);
    });
}

void LinuxKeyboardTap::drainPosts() {
    if (draining_) return;
    draining_ = true;
    while (!posts_.empty()) {
        const PostedKeyEvent posted = posts_.front();
        posts_.pop_front();
        const std::optional<unsigned> code = evdevKeyCode(posted.keyCode);
        Keyboard* target = postTarget();
        if (!code || !target) continue;
        const int value = posted.keyDown ? 1 : 0;
        if (isModifierKey(*code)) {
            if (postedModifiers_.shouldWrite(*code, posted.keyDown, anyTwinHolds(*code))) {
                target->output->writeKey(*code, value);
            }
            continue;
        }
        // Posted events pass the hook again, marked, like any other.
        KeyEvent key{posted.keyCode, posted.flags.value_or(currentFlags()), posted.userData};
        dispatching_ = true;
        const KeyEvent* result =
            guard_.callback(posted.keyDown ? kEventTypeKeyDown : kEventTypeKeyUp, &key);
        dispatching_ = false;
        if (result) target->output->writeKey(*code, value);
    }
    draining_ = false;
}

void LinuxKeyboardTap::handleWatchdogTrip() {
    if (!watchdog_ || !watchdog_->takeTrip()) return;
    const std::int64_t letGoNs = watchdog_->tripTimeNs();
    std::vector<std::string> gone;
    std::vector<std::string> released;
    for (auto& [node, keyboard] : keyboards_) {
        // A keyboard taken after the trip is still held, under a watch of its own.
        if (keyboard->state != State::Taken || !wasLetGo(*keyboard)) continue;
        keyboard->watch.reset();
        // Input read before the grab was let go reached nobody else and still
        // goes through the guard; later input reached the desktop directly.
        std::vector<input_event> frame;
        SourceDevice::ReadStatus status;
        while ((status = keyboard->source->readFrame(frame)) == SourceDevice::ReadStatus::Frame) {
            if (frameTimeNs(frame) < letGoNs) processFrame(*keyboard, frame);
        }
        keyboard->state = State::Waiting;
        released.push_back(node);
        if (status == SourceDevice::ReadStatus::Gone) gone.push_back(node);
    }
    // A Return press still open on a keyboard let go would never see its
    // release: it ends as if released now, so that the guard delivers it.
    const bool ownerReleased =
        pressOwner_ && std::count(released.begin(), released.end(), pressOwner_->source->devnode());
    if (guard_.pressIsOpen() && (ownerReleased || !pressOwner_)) {
        if (ownerReleased) {
            input_event release{};
            release.type = EV_KEY;
            release.code = KEY_ENTER;
            dispatchKey(*pressOwner_, release);
            drainPosts();
        }
        if (guard_.pressIsOpen()) guard_.endPress();
    }
    for (const std::string& node : released) keyboards_.at(node)->output->releaseAll();
    for (const std::string& node : gone) removeKeyboard(node);
    KeyEvent notice{0, currentFlags(), 0};
    dispatching_ = true;
    guard_.callback(kEventTypeTapDisabledByTimeout, &notice);
    dispatching_ = false;
    drainPosts();
    warn(
        "the main loop stalled, so every keyboard was let go; each is taken again once no key "
        "is held");
    for (const std::string& node : released) {
        auto found = keyboards_.find(node);
        if (found != keyboards_.end()) tryTake(*found->second);
    }
}

}  // namespace sendhold
