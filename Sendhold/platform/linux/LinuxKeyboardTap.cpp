#include "LinuxKeyboardTap.h"

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
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

LinuxKeyboardTap::Keyboard::~Keyboard() {
    // The notifiers go with deleteLater (this may run inside their own signal);
    // until then they must not watch descriptors that are closed now.
    if (sourceNotifier) sourceNotifier->setEnabled(false);
    if (outputNotifier) outputNotifier->setEnabled(false);
    if (waitNotice) waitNotice->stop();
}

LinuxKeyboardTap::LinuxKeyboardTap(std::shared_ptr<InputSystem> system, GuardHooks guard,
                                   TapOptions options)
    : system_(std::move(system)),
      guard_(std::move(guard)),
      options_(options),
      context_(std::make_unique<QObject>()) {}

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
        monitorNotifier_.reset(new QSocketNotifier(monitor, QSocketNotifier::Read));
        monitorNotifier_->setEnabled(false);
        QObject::connect(monitorNotifier_.get(), &QSocketNotifier::activated, context_.get(),
                         [this] { serviceMonitor(); });
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
                warn("keys are held on '" + found->second->source->name() +
                     "'; it is taken over once they are released");
            });
    }
    if (!keyboard.waitNotice->isActive()) {
        keyboard.waitNotice->start(
            durationFromSeconds<std::chrono::milliseconds>(options_.grabWaitSeconds));
    }
}

}  // namespace sendhold
