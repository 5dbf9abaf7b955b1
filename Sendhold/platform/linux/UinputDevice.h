#pragma once

#include <linux/input.h>

#include <bitset>
#include <memory>
#include <span>
#include <string>
#include <vector>

struct libevdev;

namespace sendhold {

// The virtual twin of one physical input device, made through uinput. It
// declares the source's keys, buttons, axes, scan codes, switches, LEDs and
// sounds, but no kernel autorepeat: the source's own repeat events are
// forwarded instead, so that repeats are never doubled. It carries Sendhold's
// own vendor and product id. Owns the descriptor.
class UinputDevice {
  public:
    // Builds the twin of `source` on the uinput descriptor `fd` (taken over).
    // Nothing on failure, with the reason in `error`.
    static std::unique_ptr<UinputDevice> cloneOf(int fd, const libevdev* source,
                                                 std::string* error);
    ~UinputDevice();
    UinputDevice(const UinputDevice&) = delete;
    UinputDevice& operator=(const UinputDevice&) = delete;

    int fd() const { return fd_; }

    // Writes `events` and a closing SYN_REPORT as one frame. Nothing is written
    // for an empty frame.
    void writeFrame(std::span<const input_event> events);
    // One key event in a frame of its own.
    void writeKey(unsigned code, int value);

    // Whether this device holds `code` pressed, as far as what it wrote goes.
    bool holds(unsigned code) const { return code < KEY_CNT && held_.test(code); }
    // Releases every key it holds, each in a frame of its own.
    void releaseAll();

    // LED and sound changes the desktop asked of this device, waiting on its
    // descriptor.
    std::vector<input_event> readFeedback();

  private:
    explicit UinputDevice(int fd) : fd_(fd) {}
    int fd_;
    std::bitset<KEY_CNT> held_;
};

}  // namespace sendhold
