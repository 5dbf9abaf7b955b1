#include "LinuxKeyboardTap.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "AccessCheck.h"
#include "Diagnostics.h"
#include "KeyTranslation.h"
#include "TimeUnits.h"

namespace sendhold {
namespace {

constexpr std::array kHeldModifiers = {KEY_LEFTSHIFT, KEY_RIGHTSHIFT, KEY_LEFTCTRL, KEY_RIGHTCTRL,
                                       KEY_LEFTALT,   KEY_RIGHTALT,   KEY_LEFTMETA, KEY_RIGHTMETA};

std::string describeError(int negativeErrno) {
    return std::strerror(-negativeErrno);
}

}  // namespace

LinuxKeyboardTap::LinuxKeyboardTap(std::shared_ptr<InputSystem> system, GuardHooks guard,
                                   std::shared_ptr<MainLoop> loop, TapOptions options)
    : system_(std::move(system)),
      guard_(std::move(guard)),
      options_(options),
      loop_(std::move(loop)) {}

LinuxKeyboardTap::~LinuxKeyboardTap() {
    shutdown();
}

bool LinuxKeyboardTap::create() {
    if (created_) return true;
    if (const std::string missing = missingAccess(*system_); !missing.empty()) {
        warn(missing);
        return false;
    }
    const int monitor = system_->startMonitor();
    if (monitor >= 0) {
        monitorWatch_ = loop_->watchReadable(monitor, [this] { serviceMonitor(); });
        monitorWatch_->setEnabled(false);
    } else {
        warn("cannot watch for keyboards plugged in later (" + describeError(monitor) +
             "); the ones present now are guarded");
    }
    created_ = true;
    return true;
}

void LinuxKeyboardTap::enable() {
    if (!created_ || enabled_) return;
    enabled_ = true;
    MainLoop* loop = loop_.get();
    std::weak_ptr<const bool> alive = alive_;
    watchdog_ = std::make_unique<Watchdog>(
        durationFromSeconds<std::chrono::nanoseconds>(options_.watchdogSeconds),
        [this, loop, alive] {
            // Runs on the watchdog thread; the rest happens on the main loop,
            // unless the tap is gone by then.
            loop->postFromAnyThread([this, alive] {
                if (alive.lock()) handleWatchdogTrip();
            });
        });
    if (monitorWatch_) monitorWatch_->setEnabled(true);
    for (const std::string& node : system_->eventNodes()) addDevice(node, false);
}

void LinuxKeyboardTap::shutdown() {
    // The watchdog goes first: it must not act on keyboards being closed.
    watchdog_.reset();
    for (auto& [node, keyboard] : keyboards_) {
        if (keyboard->output) keyboard->output->releaseAll();
        // Every grab ends before any twin goes: removing a device takes a while.
        if (keyboard->source) keyboard->source->ungrab();
    }
    // Closing the descriptors removes the twins.
    keyboards_.clear();
    monitorWatch_.reset();
    pressOwner_ = nullptr;
    posts_.clear();
    postedModifiers_.clear();
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
            warn("cannot read " + devnode + " (" + describeError(fd) +
                 "); see \"Permissions\" in the README");
        }
        return;
    }
    std::unique_ptr<SourceDevice> source = SourceDevice::adopt(fd, devnode);
    // Sendhold's own twins, and devices that are no keyboard, stay untouched.
    if (!source || source->isOwnDevice() || !source->isKeyboard()) return;
    auto keyboard = std::make_unique<Keyboard>();
    keyboard->source = std::move(source);
    keyboard->sourceWatch = loop_->watchReadable(fd, [this, devnode] { serviceKeyboard(devnode); });
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
            warn("'" + keyboard.source->name() +
                 "' is taken by another program; Sendhold leaves it alone");
        } else {
            warn("cannot take '" + keyboard.source->name() + "' (" + describeError(grabbed) + ")");
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
            warn("cannot make the virtual twin of '" + keyboard.source->name() + "' (" + error +
                 ")");
            return true;
        }
        const std::string devnode = keyboard.source->devnode();
        keyboard.outputWatch = loop_->watchReadable(keyboard.output->fd(),
                                                    [this, devnode] { serviceFeedback(devnode); });
    }
    keyboard.state = State::Taken;
    keyboard.waitNoticed = false;
    keyboard.waitNotice.reset();
    if (watchdog_) keyboard.watch = watchdog_->watch(keyboard.source->fd());
    return true;
}

void LinuxKeyboardTap::startWaiting(Keyboard& keyboard) {
    keyboard.state = State::Waiting;
    if (keyboard.waitNoticed || keyboard.waitNotice) return;
    const std::string devnode = keyboard.source->devnode();
    keyboard.waitNotice = loop_->startTimer(options_.grabWaitSeconds, [this, devnode] {
        auto found = keyboards_.find(devnode);
        if (found == keyboards_.end()) return;
        Keyboard& waiting = *found->second;
        waiting.waitNotice.reset();
        if (waiting.state != State::Waiting) return;
        waiting.waitNoticed = true;
        warn("keys are held on '" + waiting.source->name() +
             "'; it is taken over once they are released");
    });
}

}  // namespace sendhold
