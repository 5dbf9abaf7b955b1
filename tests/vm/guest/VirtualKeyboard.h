#pragma once

#include <linux/input.h>

#include <chrono>
#include <string>

struct libevdev;
struct libevdev_uinput;

namespace vmtest {

// A keyboard made with uinput inside the guest, as a USB keyboard would appear:
// every key, MSC_SCAN and kernel autorepeat, optionally with a pointer (as a
// keyboard+mouse receiver). Each key event goes out in its own frame
// (MSC_SCAN, EV_KEY, SYN_REPORT), the way keyboards report.
class VirtualKeyboard {
  public:
    explicit VirtualKeyboard(const std::string& name, bool withPointer = false);
    ~VirtualKeyboard();
    VirtualKeyboard(const VirtualKeyboard&) = delete;
    VirtualKeyboard& operator=(const VirtualKeyboard&) = delete;

    const std::string& name() const { return name_; }
    // The keyboard's own evdev node, /dev/input/eventN.
    const std::string& node() const { return node_; }

    void press(int code);
    void release(int code);
    void tap(int code, std::chrono::milliseconds hold = std::chrono::milliseconds(30));
    void move(int dx, int dy);
    // Destroys the device, as pulling the plug would.
    void unplug();

    // The scan code this keyboard reports with a key; distinct per key.
    static int scanCode(int code) { return 0x70000 | code; }

  private:
    void write(unsigned type, unsigned code, int value);

    std::string name_;
    std::string node_;
    libevdev* device_ = nullptr;
    libevdev_uinput* uinput_ = nullptr;
};

}  // namespace vmtest
