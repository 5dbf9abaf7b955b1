#pragma once

// A stand-in for evdev and uinput, for tests without /dev/input. Devices are
// socket pairs carrying struct input_event; this process's ioctl() and read()
// are replaced so that the fake answers for them (and only for them).

#include <linux/input.h>
#include <linux/uinput.h>

#include <bitset>
#include <functional>
#include <memory>
#include <set>
#include <string>
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
Shape withPointer(Shape shape);  // adds a mouse's axes and buttons
input_event event(unsigned type, unsigned code, int value = 0);

struct Device {
    // Sends events (a frame when `report` adds SYN_REPORT) to the grabbing
    // client or, with no grab, to every client; the key state follows.
    void send(std::vector<input_event> events, bool report = true);
    void key(unsigned code, int value);  // with its scan code, as keyboards send it
    void setKeyQuietly(unsigned code, bool down) { keys.set(code, down); }  // as in an overflow
    bool grabbed() const;
    std::vector<input_event> lights();  // LED events written to the device
    int open();
    ~Device();

    Shape shape;
    bool gone = false;             // reads fail with ENODEV, as for an unplugged device
    std::function<void()> onGrab;  // runs after each granted grab
    std::bitset<KEY_CNT> keys;
    ino_t grabbedBy = 0;
    std::vector<std::pair<ino_t, int>> clients;  // the tap's socket inode, the test's end
};

struct Uinput {
    // What was written since the last call as the input core passes it on:
    // undeclared codes and key events that change nothing (but repeats) are dropped.
    std::string take();
    ~Uinput();
    int testFd = -1;
    ino_t inode = 0;
    Codes declared;
    std::bitset<KEY_CNT> keys;
    uinput_setup setup{};
    bool created = false, destroyed = false;
};

class System final : public InputSystem {
  public:
    System();
    ~System() override;
    std::shared_ptr<Device> add(const std::string& devnode, Shape shape, bool announce = false);
    void unplug(const std::string& devnode);               // the device vanishes; udev tells
    std::vector<std::shared_ptr<Uinput>> uinputs() const;  // those created, in order

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

std::vector<input_event> drain(int fd);  // every event waiting, non-blocking
// "MSC_SCAN KEY_ENTER=1 | KEY_ENTER=0 |": frames ended by " |".
std::string describe(const std::vector<input_event>& events);

}  // namespace sendhold::fake
