#pragma once

#include <linux/input.h>

#include <memory>
#include <string>
#include <vector>

struct libevdev;

namespace sendhold {

// One physical input device, read through libevdev. Owns the descriptor.
class SourceDevice {
  public:
    // Takes over `fd`; nothing when libevdev cannot make sense of it (the
    // descriptor is closed then).
    static std::unique_ptr<SourceDevice> adopt(int fd, std::string devnode);
    ~SourceDevice();
    SourceDevice(const SourceDevice&) = delete;
    SourceDevice& operator=(const SourceDevice&) = delete;

    int fd() const { return fd_; }
    const std::string& devnode() const { return devnode_; }
    libevdev* evdev() const { return dev_; }
    std::string name() const;

    // A keyboard has every letter key and Return.
    bool isKeyboard() const;
    // One of the devices this program creates itself.
    bool isOwnDevice() const;

    // The device's true key state, asked from the kernel (also buttons).
    bool anyKeyHeld() const;
    // The key state as libevdev tracked it from the events read so far.
    bool isDown(unsigned code) const;

    // 0 or -errno.
    int grab();
    void ungrab();

    enum class ReadStatus { Frame, Empty, Gone };
    // Reads the next complete frame, SYN_REPORT included, into `frame`. After
    // SYN_DROPPED the frame holds the events libevdev's resync made up to bring
    // the state up to date. Empty: no complete frame is waiting; Gone: the device
    // went away or failed.
    ReadStatus readFrame(std::vector<input_event>& frame);

    // Sends an LED or sound change (followed by SYN_REPORT) to the device.
    void sendFeedback(const input_event& event);

  private:
    SourceDevice(int fd, std::string devnode, libevdev* dev);
    int fd_;
    std::string devnode_;
    libevdev* dev_;
    bool syncing_ = false;
    std::vector<input_event> partial_;
};

}  // namespace sendhold
