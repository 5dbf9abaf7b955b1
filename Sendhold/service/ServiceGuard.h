#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "ControlServer.h"
#include "platform/linux/InputSystem.h"
#include "platform/linux/MainLoop.h"

namespace sendhold {

class LinuxKeyboardTap;

// The guard of the service: KeyboardManager::shared() over a LinuxKeyboardTap
// on the service's main loop, steered by the client the hub chose. The
// keyboards are taken only while somebody steers.
class ServiceGuard final : public GuardControl {
  public:
    // `composes` answers whether the steering client's input method composes.
    ServiceGuard(std::shared_ptr<MainLoop> loop, std::shared_ptr<InputSystem> system,
                 std::function<bool()> composes);
    ~ServiceGuard() override;

    std::optional<std::string> engage(const SteeringState& state) override;
    void update(const SteeringState& state) override;
    // Lets go soon, on the main loop: this may be called from inside the
    // key path (a steering client hung up while a key waited for it).
    void disengage() override;
    // Lets go now; for the end of the process.
    void letGo();

  private:
    std::shared_ptr<MainLoop> loop_;
    std::shared_ptr<LinuxKeyboardTap> tap_;
    std::shared_ptr<double> storedDuration_;
    bool engaged_ = false;
    std::unique_ptr<MainLoop::Source> pendingLetGo_;
};

}  // namespace sendhold
