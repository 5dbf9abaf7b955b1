#pragma once

#include <string>
#include <vector>

namespace sendhold {

// A keyboard node that appeared or went away.
struct DeviceChange {
    enum class Kind { Added, Removed };
    Kind kind = Kind::Added;
    std::string devnode;
};

// Where the tap finds its devices: event nodes, uinput and hot-plug news. The
// real one asks udev and the file system; tests put socket pairs behind it.
class InputSystem {
  public:
    virtual ~InputSystem() = default;
    // Opens an event node non-blocking, read-write when allowed, else read-only.
    // Returns the descriptor or -errno.
    virtual int openEventNode(const std::string& devnode) = 0;
    // Opens the uinput control node read-write. Returns the descriptor or -errno.
    virtual int openUinput() = 0;
    // Whether the directory of input nodes exists at all.
    virtual bool hasInputDirectory() = 0;
    // The event nodes present now.
    virtual std::vector<std::string> eventNodes() = 0;
    // Starts hot-plug monitoring. Returns a descriptor that becomes readable when
    // changes wait, or -errno.
    virtual int startMonitor() = 0;
    // The changes waiting on the monitor descriptor.
    virtual std::vector<DeviceChange> readChanges() = 0;
};

}  // namespace sendhold
