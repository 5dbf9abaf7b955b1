#pragma once

// A stand-in for evdev and uinput, for tests without /dev/input. Devices are
// socket pairs carrying struct input_event; this process's ioctl() and read()
// are replaced so that the fake answers for them (and only for them).

#include <linux/input.h>
#include <linux/uinput.h>
#include <sys/types.h>

#include <bitset>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "InputSystem.h"

namespace sendhold::fake {

using Codes = std::set<std::pair<unsigned, unsigned>>;  // (type, code); type 0: event types

struct Shape {
    std::string name = "Fake keyboard";
    input_id id{BUS_USB, 0x046d, 0xc31c, 0x0110};
    Codes codes;
};
// A keyboard with scan codes and lights, optionally without Shift keys.
Shape keyboard(std::string name = "Fake keyboard", bool shiftKeys = true);
// Adds a mouse's axes and buttons.
Shape withPointer(Shape shape);

input_event event(unsigned type, unsigned code, int value = 0);

struct Device {
    Shape shape;
    // Sends events, a frame when `report` adds SYN_REPORT, to the grabbing
    // client or, with no grab, to every client; the key state follows.
    void send(std::vector<input_event> events, bool report = true);
    // A key event with its scan code, as keyboards send it.
    void key(unsigned code, int value);
    // Changes the key state unseen, as during a buffer overflow.
    void setKeyQuietly(unsigned code, bool down);
    // Reads fail with ENODEV from now on, as for an unplugged device.
    void vanish();
    bool grabbed() const;
    // Runs after each granted grab.
    std::function<void()> onGrab;
    // LED events written to the device.
    std::vector<input_event> lights();

    int open();
    bool gone = false;
    std::bitset<KEY_CNT> keys;
    ino_t grabbedBy = 0;
    std::vector<std::pair<ino_t, int>> clients;  // the tap's socket inode, the test's end
    ~Device();
};

struct Uinput {
    // What was written since the last call, as the input core passes it on:
    // uinput silently drops codes the device did not declare.
    std::string take();
    void sendLed(unsigned code, int value);  // the desktop sets a light on the device
    int testFd = -1;
    ino_t inode = 0;
    Codes declared;
    std::bitset<KEY_CNT> keys;
    uinput_setup setup{};
    bool created = false, destroyed = false;
    ~Uinput();
};

class System final : public InputSystem {
  public:
    System();
    ~System() override;
    std::shared_ptr<Device> add(const std::string& devnode, Shape shape);
    // Adds or removes a device and announces it on the monitor.
    std::shared_ptr<Device> plug(const std::string& devnode, Shape shape);
    void unplug(const std::string& devnode);
    // The uinput devices created, in order.
    std::vector<std::shared_ptr<Uinput>> uinputs() const;

    int uinputError = 0, nodeError = 0;  // errno for opening, 0 = works
    bool inputDirectory = true;

    int openEventNode(const std::string& devnode) override;
    int openUinput() override;
    bool hasInputDirectory() override { return inputDirectory; }
    std::vector<std::string> eventNodes() override;
    int startMonitor() override { return monitorFd_; }
    std::vector<DeviceChange> readChanges() override;

  private:
    std::vector<std::pair<std::string, std::shared_ptr<Device>>> devices_;
    std::vector<DeviceChange> changes_;
    std::vector<std::shared_ptr<Uinput>> made_;
    int monitorFd_ = -1;
};

// Reads every event waiting on a descriptor (non-blocking).
std::vector<input_event> drain(int fd);
// "MSC_SCAN KEY_ENTER=1 | KEY_ENTER=0 |": frames ended by " |".
std::string describe(const std::vector<input_event>& events);

}  // namespace sendhold::fake
