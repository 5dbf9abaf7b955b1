#include "LinuxKeyboardTap.h"

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>

#include "AccessCheck.h"
#include "KeyTranslation.h"
#include "TimeUnits.h"

namespace sendhold {
namespace {

constexpr std::array kHeldModifiers = {KEY_LEFTSHIFT, KEY_RIGHTSHIFT, KEY_LEFTCTRL, KEY_RIGHTCTRL,
                                       KEY_LEFTALT,   KEY_RIGHTALT,   KEY_LEFTMETA, KEY_RIGHTMETA};

std::int64_t frameTimeNs(const std::vector<input_event>& frame) {
    const input_event& last = frame.back();
    return nanosecondsOf(last.input_event_sec, last.input_event_usec, 1'000'000);
}

bool releasesAKey(const std::vector<input_event>& frame) {
    return std::any_of(frame.begin(), frame.end(),
                       [](const input_event& e) { return e.type == EV_KEY && e.value == 0; });
}

std::string describeError(int negativeErrno) {
    return std::strerror(-negativeErrno);
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

LinuxKeyboardTap::Keyboard::~Keyboard() {
    // The notifiers go with deleteLater (this may run inside their own signal);
    // until then they must not watch descriptors that are closed now.
    if (sourceNotifier) sourceNotifier->setEnabled(false);
    if (outputNotifier) outputNotifier->setEnabled(false);
    if (waitNotice) waitNotice->stop();
}

LinuxKeyboardTap::LinuxKeyboardTap(std::shared_ptr<InputSystem> system, GuardHooks guard,
                                   std::ostream* diagnostics, TapOptions options)
    : system_(std::move(system)),
      guard_(std::move(guard)),
      diagnostics_(diagnostics ? diagnostics : &std::cerr),
      options_(options),
      context_(std::make_unique<QObject>()) {}

LinuxKeyboardTap::~LinuxKeyboardTap() {
    shutdown();
}

void LinuxKeyboardTap::say(const std::string& line) {
    *diagnostics_ << "sendhold: " << line << std::endl;
}

bool LinuxKeyboardTap::create() {
    if (created_) return true;
    if (const std::string missing = missingAccess(*system_); !missing.empty()) {
        say(missing);
        return false;
    }
    const int monitor = system_->startMonitor();
    if (monitor >= 0) {
        monitorNotifier_.reset(new QSocketNotifier(monitor, QSocketNotifier::Read));
        monitorNotifier_->setEnabled(false);
        QObject::connect(monitorNotifier_.get(), &QSocketNotifier::activated, context_.get(),
                         [this] { serviceMonitor(); });
    } else {
        say("cannot watch for keyboards plugged in later (" + describeError(monitor) +
            "); the ones present now are guarded");
    }
    created_ = true;
    return true;
}

void LinuxKeyboardTap::enable() {
    if (!created_ || enabled_) return;
    enabled_ = true;
    QObject* context = context_.get();
    watchdog_ = std::make_unique<Watchdog>(
        durationFromSeconds<std::chrono::nanoseconds>(options_.watchdogSeconds), [this, context] {
            // Runs on the watchdog thread; the rest happens on the main loop.
            QMetaObject::invokeMethod(
                context, [this] { handleWatchdogTrip(); }, Qt::QueuedConnection);
        });
    if (monitorNotifier_) monitorNotifier_->setEnabled(true);
    for (const std::string& node : system_->eventNodes()) addDevice(node, false);
}

void LinuxKeyboardTap::shutdown() {
    // The watchdog goes first: it must not act on keyboards being closed.
    watchdog_.reset();
    for (auto& [node, keyboard] : keyboards_) {
        if (keyboard->output) keyboard->output->releaseAll();
    }
    // Closing the descriptors ends the grabs and removes the twins.
    keyboards_.clear();
    if (monitorNotifier_) monitorNotifier_->setEnabled(false);
    monitorNotifier_.reset();
    pressOwner_ = nullptr;
    posts_.clear();
    postedModifiers_.clear();
    created_ = false;
    enabled_ = false;
}

std::size_t LinuxKeyboardTap::takenKeyboardCount() const {
    std::size_t count = 0;
    for (const auto& [node, keyboard] : keyboards_) {
        if (keyboard->state == State::Taken) ++count;
    }
    return count;
}

std::uint64_t LinuxKeyboardTap::currentFlags() const {
    std::uint64_t flags = 0;
    for (const auto& [node, keyboard] : keyboards_) {
        if (keyboard->state != State::Taken) continue;
        for (int code : kHeldModifiers) {
            if (keyboard->source->isDown(code)) flags |= heldModifierFlag(code);
        }
        if (keyboard->capsLock) flags |= kFlagCapsLock;
    }
    return flags;
}

void LinuxKeyboardTap::serviceMonitor() {
    for (const DeviceChange& change : system_->readChanges()) {
        if (change.kind == DeviceChange::Kind::Added) {
            addDevice(change.devnode, true);
        } else {
            removeKeyboard(change.devnode);
        }
    }
}

void LinuxKeyboardTap::addDevice(const std::string& devnode, bool hotPlugged) {
    if (keyboards_.count(devnode)) {
        // A node announced anew is a new device whose predecessor's removal was
        // missed; the old descriptor is dead.
        if (!hotPlugged) return;
        removeKeyboard(devnode);
    }
    const int fd = system_->openEventNode(devnode);
    if (fd < 0) {
        if (hotPlugged && fd == -EACCES) {
            say("cannot read " + devnode + " (" + describeError(fd) +
                "); see \"Permissions\" in the README");
        }
        return;
    }
    std::unique_ptr<SourceDevice> source = SourceDevice::adopt(fd, devnode);
    // Sendhold's own twins, and devices that are no keyboard, stay untouched.
    if (!source || source->isOwnDevice() || !source->isKeyboard()) return;
    auto keyboard = std::make_unique<Keyboard>();
    keyboard->source = std::move(source);
    keyboard->sourceNotifier.reset(new QSocketNotifier(fd, QSocketNotifier::Read));
    QObject::connect(keyboard->sourceNotifier.get(), &QSocketNotifier::activated, context_.get(),
                     [this, devnode] { serviceKeyboard(devnode); });
    Keyboard& added = *keyboard;
    keyboards_.emplace(devnode, std::move(keyboard));
    tryTake(added);
}

void LinuxKeyboardTap::removeKeyboard(const std::string& devnode) {
    auto found = keyboards_.find(devnode);
    if (found == keyboards_.end()) return;
    Keyboard& keyboard = *found->second;
    // The device is gone with its key releases still unread: whatever the twin
    // holds for it is released here, and a Return press it opened is over.
    if (keyboard.output) keyboard.output->releaseAll();
    if (pressOwner_ == &keyboard) {
        if (guard_.pressIsOpen()) guard_.endPress();
        pressOwner_ = nullptr;
    }
    if (watchdog_) watchdog_->unwatch(keyboard.watch);
    keyboards_.erase(found);
}

bool LinuxKeyboardTap::discardPending(Keyboard& keyboard) {
    std::vector<input_event> frame;
    for (;;) {
        switch (keyboard.source->readFrame(frame)) {
            case SourceDevice::ReadStatus::Frame:
                continue;
            case SourceDevice::ReadStatus::Empty:
                return true;
            case SourceDevice::ReadStatus::Gone:
                removeKeyboard(keyboard.source->devnode());
                return false;
        }
    }
}

bool LinuxKeyboardTap::tryTake(Keyboard& keyboard) {
    if (keyboard.state != State::Waiting) return true;
    // What was read so far reached the desktop directly.
    if (!discardPending(keyboard)) return false;
    // A key held while the grab is taken would stay pressed for the desktop
    // forever: it saw the press and would never see the release.
    if (keyboard.source->anyKeyHeld()) {
        startWaiting(keyboard);
        return true;
    }
    const int grabbed = keyboard.source->grab();
    if (grabbed < 0) {
        keyboard.state = State::Refused;
        if (grabbed == -EBUSY) {
            say("'" + keyboard.source->name() +
                "' is taken by another program; Sendhold leaves it alone");
        } else {
            say("cannot take '" + keyboard.source->name() + "' (" + describeError(grabbed) + ")");
        }
        return true;
    }
    if (keyboard.source->anyKeyHeld()) {
        keyboard.source->ungrab();
        startWaiting(keyboard);
        return true;
    }
    if (!keyboard.output) {
        const int fd = system_->openUinput();
        std::string error = fd < 0 ? describeError(fd) : std::string();
        if (fd >= 0) keyboard.output = UinputDevice::cloneOf(fd, keyboard.source->evdev(), &error);
        if (!keyboard.output) {
            keyboard.source->ungrab();
            keyboard.state = State::Refused;
            say("cannot make the virtual twin of '" + keyboard.source->name() + "' (" + error +
                ")");
            return true;
        }
        const std::string devnode = keyboard.source->devnode();
        keyboard.outputNotifier.reset(
            new QSocketNotifier(keyboard.output->fd(), QSocketNotifier::Read));
        QObject::connect(keyboard.outputNotifier.get(), &QSocketNotifier::activated, context_.get(),
                         [this, devnode] { serviceFeedback(devnode); });
    }
    keyboard.state = State::Taken;
    keyboard.waitNoticed = false;
    if (keyboard.waitNotice) keyboard.waitNotice->stop();
    if (watchdog_) keyboard.watch = watchdog_->watch(keyboard.source->fd());
    return true;
}

void LinuxKeyboardTap::startWaiting(Keyboard& keyboard) {
    keyboard.state = State::Waiting;
    if (keyboard.waitNoticed) return;
    if (!keyboard.waitNotice) {
        keyboard.waitNotice.reset(new QTimer());
        keyboard.waitNotice->setSingleShot(true);
        const std::string devnode = keyboard.source->devnode();
        QObject::connect(
            keyboard.waitNotice.get(), &QTimer::timeout, context_.get(), [this, devnode] {
                auto found = keyboards_.find(devnode);
                if (found == keyboards_.end() || found->second->state != State::Waiting) return;
                found->second->waitNoticed = true;
                say("keys are held on '" + found->second->source->name() +
                    "'; it is taken over once they are released");
            });
    }
    if (!keyboard.waitNotice->isActive()) {
        keyboard.waitNotice->start(
            durationFromSeconds<std::chrono::milliseconds>(options_.grabWaitSeconds));
    }
}

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
    say("the main loop stalled, so every keyboard was let go; each is taken again once no key "
        "is held");
    for (const std::string& node : released) {
        auto found = keyboards_.find(node);
        if (found != keyboards_.end()) tryTake(*found->second);
    }
}

}  // namespace sendhold
