#include "AccessCheck.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace sendhold {

std::string missingAccess(InputSystem& system) {
    std::vector<std::string> missing;
    const int uinput = system.openUinput();
    if (uinput >= 0) {
        ::close(uinput);
    } else if (uinput == -ENOENT || uinput == -ENODEV) {
        missing.push_back("/dev/uinput is missing (load the module: sudo modprobe uinput)");
    } else {
        missing.push_back("/dev/uinput is not writable (" + std::string(std::strerror(-uinput)) +
                          "; install the udev rule from the README, e.g. "
                          "/etc/udev/rules.d/70-sendhold.rules)");
    }
    if (!system.hasInputDirectory()) {
        missing.push_back("/dev/input is missing (this system shows no input devices)");
    } else {
        const std::vector<std::string> nodes = system.eventNodes();
        bool readable = nodes.empty();
        for (const std::string& node : nodes) {
            const int fd = system.openEventNode(node);
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
    if (missing.empty()) return {};
    std::string line = "the keyboard guard cannot run: ";
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) line += "; ";
        line += missing[i];
    }
    return line + ". See \"Permissions\" in the README.";
}

}  // namespace sendhold
