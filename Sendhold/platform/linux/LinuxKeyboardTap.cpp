#include "LinuxKeyboardTap.h"

#include <unistd.h>

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <iostream>

#include "KeyTranslation.h"

namespace sendhold {
namespace {

constexpr std::array kHeldModifiers = {KEY_LEFTSHIFT, KEY_RIGHTSHIFT, KEY_LEFTCTRL, KEY_RIGHTCTRL,
                                       KEY_LEFTALT,   KEY_RIGHTALT,   KEY_LEFTMETA, KEY_RIGHTMETA};

std::chrono::milliseconds milliseconds(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0) seconds = 0;
    return std::chrono::milliseconds(std::llround(seconds * 1000));
}

std::int64_t frameTimeNs(const std::vector<input_event>& frame) {
    const input_event& last = frame.back();
    return static_cast<std::int64_t>(last.input_event_sec) * 1'000'000'000 +
           static_cast<std::int64_t>(last.input_event_usec) * 1000;
}

bool releasesAKey(const std::vector<input_event>& frame) {
    for (const input_event& event : frame) {
        if (event.type == EV_KEY && event.value == 0) return true;
    }
    return false;
}

std::string describeError(int negativeErrno) {
    return std::strerror(-negativeErrno);
}

}  // namespace

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
    std::vector<std::string> missing;
    const int uinput = system_->openUinput();
    if (uinput >= 0) {
        ::close(uinput);
    } else if (uinput == -ENOENT || uinput == -ENODEV) {
        missing.push_back("/dev/uinput is missing (load the module: sudo modprobe uinput)");
    } else {
        missing.push_back("/dev/uinput is not writable (" + describeError(uinput) +
                          "; install the udev rule from the README, e.g. "
                          "/etc/udev/rules.d/70-sendhold.rules)");
    }
    if (!system_->hasInputDirectory()) {
        missing.push_back("/dev/input is missing (this system shows no input devices)");
    } else {
        const std::vector<std::string> nodes = system_->eventNodes();
        bool readable = nodes.empty();
        for (const std::string& node : nodes) {
            const int fd = system_->openEventNode(node);
            if (fd >= 0) {
                ::close(fd);
                readable = true;
                break;
            }
        }
        if (!readable) {
            missing.push_back(
                "no /dev/input/event* device is readable (join the input group: "
                "sudo usermod -aG input $USER, then log in again)");
        }
    }
    if (!missing.empty()) {
        std::string line = "the keyboard guard cannot run: ";
        for (std::size_t i = 0; i < missing.size(); ++i) {
            if (i > 0) line += "; ";
            line += missing[i];
        }
        say(line + ". See \"Permissions\" in the README.");
        return false;
    }
    const int monitor = system_->startMonitor();
    if (monitor >= 0) {
        monitorNotifier_ = new QSocketNotifier(monitor, QSocketNotifier::Read, context_.get());
        monitorNotifier_->setEnabled(false);
        QObject::connect(monitorNotifier_, &QSocketNotifier::activated, context_.get(),
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
        std::chrono::nanoseconds(std::llround(options_.watchdogSeconds * 1e9)), [this, context] {
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
        delete keyboard->sourceNotifier;
        delete keyboard->outputNotifier;
        delete keyboard->waitNotice;
    }
    // Closing the descriptors ends the grabs and removes the twins.
    keyboards_.clear();
    delete monitorNotifier_;
    monitorNotifier_ = nullptr;
    pressOwner_ = nullptr;
    posts_.clear();
    created_ = false;
    enabled_ = false;
}

void LinuxKeyboardTap::letGo() {
    std::vector<std::string> taken;
    for (auto& [node, keyboard] : keyboards_) {
        if (keyboard->state == State::Taken) taken.push_back(node);
    }
    for (const std::string& node : taken) serviceKeyboard(node);
    for (auto& [node, keyboard] : keyboards_) {
        if (keyboard->state != State::Taken) continue;
        if (watchdog_) watchdog_->unwatch(keyboard->watch);
        keyboard->watch.reset();
        keyboard->output->releaseAll();
        keyboard->source->ungrab();
        keyboard->state = State::Waiting;
    }
    if (guard_.pressIsOpen()) guard_.endPress();
}

void LinuxKeyboardTap::retake() {
    // tryTake removes a keyboard that went away: the names are collected first.
    std::vector<std::string> waiting;
    for (auto& [node, keyboard] : keyboards_) {
        if (keyboard->state == State::Waiting) waiting.push_back(node);
    }
    for (const std::string& node : waiting) {
        auto found = keyboards_.find(node);
        if (found != keyboards_.end()) tryTake(*found->second);
    }
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
    keyboard->sourceNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, context_.get());
    QObject::connect(keyboard->sourceNotifier, &QSocketNotifier::activated, context_.get(),
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
    // This may run inside the notifier's own signal: delete later.
    for (QObject* object : {static_cast<QObject*>(keyboard.sourceNotifier),
                            static_cast<QObject*>(keyboard.outputNotifier),
                            static_cast<QObject*>(keyboard.waitNotice)}) {
        if (!object) continue;
        if (auto* notifier = qobject_cast<QSocketNotifier*>(object)) notifier->setEnabled(false);
        if (auto* timer = qobject_cast<QTimer*>(object)) timer->stop();
        object->deleteLater();
    }
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
        keyboard.outputNotifier =
            new QSocketNotifier(keyboard.output->fd(), QSocketNotifier::Read, context_.get());
        QObject::connect(keyboard.outputNotifier, &QSocketNotifier::activated, context_.get(),
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
        keyboard.waitNotice = new QTimer(context_.get());
        keyboard.waitNotice->setSingleShot(true);
        const std::string devnode = keyboard.source->devnode();
        QObject::connect(keyboard.waitNotice, &QTimer::timeout, context_.get(), [this, devnode] {
            auto found = keyboards_.find(devnode);
            if (found == keyboards_.end() || found->second->state != State::Waiting) return;
            found->second->waitNoticed = true;
            say("keys are held on '" + found->second->source->name() +
                "'; it is taken over once they are released");
        });
    }
    if (!keyboard.waitNotice->isActive()) {
        keyboard.waitNotice->start(milliseconds(options_.grabWaitSeconds));
    }
}

void LinuxKeyboardTap::serviceKeyboard(const std::string& devnode) {
    handleWatchdogTrip();
    auto found = keyboards_.find(devnode);
    if (found == keyboards_.end()) return;
    Keyboard& keyboard = *found->second;
    if (keyboard.watch) keyboard.watch->served();
    std::vector<input_event> frame;
    for (;;) {
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
            processFrame(keyboard, frame);
        } else if (keyboard.state == State::Waiting && releasesAKey(frame)) {
            // Retried when a key comes up, never by polling.
            if (!tryTake(keyboard)) return;
        }
    }
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
    std::vector<input_event> out;
    out.reserve(frame.size());
    // A scan code belongs to the key event after it: it leaves with that event
    // or not at all.
    std::optional<input_event> scan;
    auto flushScan = [&] {
        if (scan) out.push_back(*scan);
        scan.reset();
    };
    for (const input_event& event : frame) {
        if (event.type == EV_SYN && event.code == SYN_REPORT) continue;
        // Lights and sounds in the stream are echoes of what the desktop set.
        if (event.type == EV_LED || event.type == EV_SND) continue;
        if (event.type == EV_MSC && event.code == MSC_SCAN) {
            flushScan();
            scan = event;
            continue;
        }
        if (event.type != EV_KEY || isPointerButton(event.code) || isModifierKey(event.code)) {
            if (event.type == EV_KEY) flushScan();
            out.push_back(event);
            continue;
        }
        input_event key = event;
        if (dispatchKey(keyboard, key)) {
            // A repeat of a key the twin does not hold (its press was dropped)
            // starts a press there.
            if (key.value == 2 && !keyboard.output->holds(key.code)) key.value = 1;
            flushScan();
            out.push_back(key);
        } else if (key.value == 0 && keyboard.output->holds(key.code)) {
            // The guard dropped the release of a key whose press went out: the
            // twin must not keep a key pressed that the keyboard let go.
            flushScan();
            out.push_back(key);
        } else {
            scan.reset();
        }
        if (!posts_.empty()) {
            // Posted events come right after the event that caused them.
            keyboard.output->writeFrame(out);
            out.clear();
            drainPosts();
        }
    }
    flushScan();
    keyboard.output->writeFrame(out);
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
            // The kernel ignores a second press of a key the user holds, and the
            // synthesized release would then let go of the user's key for every
            // application: a posted modifier the user already holds is left out,
            // press and release alike.
            auto& skipped = target->skippedPostedModifiers;
            if (posted.keyDown && target->output->holds(*code)) {
                skipped.insert(*code);
                continue;
            }
            if (!posted.keyDown && skipped.erase(*code)) continue;
            target->output->writeKey(*code, value);
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
        if (keyboard->state != State::Taken) continue;
        keyboard->watch.reset();
        // Input read before the grab was let go reached nobody else and still
        // goes through the guard; later input reached the desktop directly.
        std::vector<input_event> frame;
        SourceDevice::ReadStatus status;
        while ((status = keyboard->source->readFrame(frame)) == SourceDevice::ReadStatus::Frame) {
            if (frameTimeNs(frame) < letGoNs) processFrame(*keyboard, frame);
        }
        keyboard->state = State::Waiting;
        keyboard->output->releaseAll();
        released.push_back(node);
        if (status == SourceDevice::ReadStatus::Gone) gone.push_back(node);
    }
    for (const std::string& node : gone) removeKeyboard(node);
    // The keyboards are no longer ours: a press under way would never see its release.
    if (guard_.pressIsOpen()) guard_.endPress();
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
