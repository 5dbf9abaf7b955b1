#include "ServiceGuard.h"

#include "KeyboardManager/KeyboardManager.h"
#include "platform/linux/GuardHooks.h"
#include "platform/linux/LinuxKeyboardTap.h"
#include "platform/linux/LoopTimerScheduler.h"
#include "platform/linux/SteadyClock.h"

namespace sendhold {
namespace {

class PushedComposition final : public CompositionProbe {
  public:
    explicit PushedComposition(std::function<bool()> composes) : composes_(std::move(composes)) {}
    bool hasMarkedText() override { return composes_(); }

  private:
    std::function<bool()> composes_;
};

class PushedDuration final : public DurationReader {
  public:
    explicit PushedDuration(std::shared_ptr<double> stored) : stored_(std::move(stored)) {}
    double storedLongPressDuration() override { return *stored_; }

  private:
    std::shared_ptr<double> stored_;
};

}  // namespace

ServiceGuard::ServiceGuard(std::shared_ptr<MainLoop> loop, std::shared_ptr<InputSystem> system,
                           std::function<bool()> composes)
    : loop_(loop),
      tap_(std::make_shared<LinuxKeyboardTap>(std::move(system), sharedGuardHooks(), loop)),
      storedDuration_(std::make_shared<double>(0)) {
    KeyboardManagerSeams seams;
    seams.clock = std::make_shared<SteadyClock>();
    seams.timers = std::make_shared<LoopTimerScheduler>(loop_);
    seams.poster = tap_;
    seams.tap = tap_;
    seams.probe = std::make_shared<PushedComposition>(std::move(composes));
    seams.durations = std::make_shared<PushedDuration>(storedDuration_);
    KeyboardManager::shared().bindSeams(seams);
}

ServiceGuard::~ServiceGuard() {
    letGo();
}

std::optional<std::string> ServiceGuard::engage(const SteeringState& state) {
    pendingLetGo_.reset();
    update(state);
    if (!engaged_) {
        // create() names what is missing, and how to grant it, on standard error.
        if (!tap_->create()) return "no access to the keyboards or to uinput";
        tap_->enable();
        engaged_ = true;
    }
    if (tap_->takenKeyboardCount() == 0) return "no keyboard found";
    return std::nullopt;
}

void ServiceGuard::update(const SteeringState& state) {
    KeyboardManager::shared().isEnabled = state.guardOn;
    // An absent duration reads as 0, which the guard takes for the default.
    *storedDuration_ = state.storedDuration.value_or(0);
}

void ServiceGuard::disengage() {
    pendingLetGo_ = loop_->startTimer(0, [this] {
        // letGo() ends this timer, and with it this closure: keep `this` apart.
        ServiceGuard* self = this;
        self->letGo();
    });
}

void ServiceGuard::letGo() {
    pendingLetGo_.reset();
    if (!engaged_) return;
    engaged_ = false;
    tap_->shutdown();
    KeyboardManager::shared().resetEnterPress();
}

}  // namespace sendhold
