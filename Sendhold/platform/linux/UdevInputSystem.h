#pragma once

#include "InputSystem.h"

struct udev;
struct udev_monitor;

namespace sendhold {

// The real devices: event nodes found through libudev, hot-plug news from its
// monitor, and /dev/uinput.
class UdevInputSystem final : public InputSystem {
  public:
    UdevInputSystem();
    ~UdevInputSystem() override;
    UdevInputSystem(const UdevInputSystem&) = delete;
    UdevInputSystem& operator=(const UdevInputSystem&) = delete;

    int openEventNode(const std::string& devnode) override;
    int openUinput() override;
    bool hasInputDirectory() override;
    std::vector<std::string> eventNodes() override;
    int startMonitor() override;
    std::vector<DeviceChange> readChanges() override;

  private:
    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;
};

}  // namespace sendhold
