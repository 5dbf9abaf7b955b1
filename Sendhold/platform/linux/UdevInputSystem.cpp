#include "UdevInputSystem.h"

#include <fcntl.h>
#include <libudev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace sendhold {
namespace {

bool isEventNode(const char* devnode) {
    return devnode && std::strncmp(devnode, "/dev/input/event", 16) == 0;
}

}  // namespace

UdevInputSystem::UdevInputSystem() : udev_(udev_new()) {}

UdevInputSystem::~UdevInputSystem() {
    if (monitor_) udev_monitor_unref(monitor_);
    if (udev_) udev_unref(udev_);
}

int UdevInputSystem::openEventNode(const std::string& devnode) {
    int fd = ::open(devnode.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    // Read access is enough to guard; writing only carries the lights.
    if (fd < 0 && errno == EACCES) fd = ::open(devnode.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    return fd < 0 ? -errno : fd;
}

int UdevInputSystem::openUinput() {
    int fd = ::open("/dev/uinput", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT)
        fd = ::open("/dev/input/uinput", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    return fd < 0 ? -errno : fd;
}

bool UdevInputSystem::hasInputDirectory() {
    std::error_code error;
    return std::filesystem::is_directory("/dev/input", error);
}

std::vector<std::string> UdevInputSystem::eventNodes() {
    std::vector<std::string> nodes;
    if (udev_) {
        if (udev_enumerate* enumerate = udev_enumerate_new(udev_)) {
            udev_enumerate_add_match_subsystem(enumerate, "input");
            udev_enumerate_scan_devices(enumerate);
            udev_list_entry* entry = nullptr;
            udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate)) {
                udev_device* device =
                    udev_device_new_from_syspath(udev_, udev_list_entry_get_name(entry));
                if (!device) continue;
                const char* devnode = udev_device_get_devnode(device);
                if (isEventNode(devnode)) nodes.emplace_back(devnode);
                udev_device_unref(device);
            }
            udev_enumerate_unref(enumerate);
        }
    }
    if (nodes.empty()) {
        // Without sysfs answers, the directory itself still lists the nodes.
        std::error_code error;
        for (const auto& item : std::filesystem::directory_iterator("/dev/input", error)) {
            const std::string path = item.path().string();
            if (isEventNode(path.c_str())) nodes.push_back(path);
        }
    }
    std::sort(nodes.begin(), nodes.end());
    return nodes;
}

int UdevInputSystem::startMonitor() {
    if (!udev_) return -ENOMEM;
    if (!monitor_) {
        // udevd announces a device once its permissions are set; where no udevd
        // runs (a bare system with devtmpfs), the kernel's own announcements are
        // all there is.
        const bool udevdRuns = ::access("/run/udev/control", F_OK) == 0;
        monitor_ = udev_monitor_new_from_netlink(udev_, udevdRuns ? "udev" : "kernel");
        if (!monitor_) return -errno ? -errno : -ENOMEM;
        udev_monitor_filter_add_match_subsystem_devtype(monitor_, "input", nullptr);
        if (udev_monitor_enable_receiving(monitor_) < 0) {
            udev_monitor_unref(monitor_);
            monitor_ = nullptr;
            return -EPERM;
        }
    }
    return udev_monitor_get_fd(monitor_);
}

std::vector<DeviceChange> UdevInputSystem::readChanges() {
    std::vector<DeviceChange> changes;
    if (!monitor_) return changes;
    while (udev_device* device = udev_monitor_receive_device(monitor_)) {
        const char* action = udev_device_get_action(device);
        const char* devnode = udev_device_get_devnode(device);
        if (action && isEventNode(devnode)) {
            if (std::strcmp(action, "add") == 0) {
                changes.push_back({DeviceChange::Kind::Added, devnode});
            } else if (std::strcmp(action, "remove") == 0) {
                changes.push_back({DeviceChange::Kind::Removed, devnode});
            }
        }
        udev_device_unref(device);
    }
    return changes;
}

}  // namespace sendhold
