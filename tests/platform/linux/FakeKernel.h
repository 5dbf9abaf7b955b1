#pragma once

// A stand-in for the kernel's evdev and uinput interfaces, for tests without
// /dev/input. Devices are socket pairs carrying struct input_event; this
// process's ioctl() and read() are replaced so that the fake answers for them
// (and only for them) with the device model kept here, grabs included.

#include <linux/input.h>
#include <linux/uinput.h>
#include <sys/types.h>

#include <bitset>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "InputSystem.h"

namespace sendhold::fake {

struct DeviceShape {
    std::string name = "Fake keyboard";
    input_id id{BUS_USB, 0x046d, 0xc31c, 0x0110};
    std::set<std::pair<unsigned, unsigned>> codes;  // (type, code)
};

DeviceShape keyboardShape(std::string name = "Fake keyboard");
// Adds a mouse's relative axes and buttons (to an empty shape: a mouse).
DeviceShape withPointer(DeviceShape shape);

input_event event(unsigned type, unsigned code, int value = 0);

class Device {
  public:
    explicit Device(DeviceShape shape) : shape(std::move(shape)) {}
    ~Device();
    DeviceShape shape;

    // Sends one frame (a SYN_REPORT is added) to the grabbing client, or to
    // every client when none grabs; updates the key state as the kernel would.
    void sendFrame(std::vector<input_event> events);
    // A key event with its scan code, as keyboards send it.
    void key(unsigned code, int value);
    void press(unsigned code) { key(code, 1); }
    void repeat(unsigned code) { key(code, 2); }
    void release(unsigned code) { key(code, 0); }
    // Changes the state without telling anyone, as in a buffer overflow.
    void setKeyQuietly(unsigned code, bool down);
    // Makes reads fail with ENODEV, as an unplugged device does.
    void vanish();
    bool grabbed() const;
    // LED events the tap wrote to the device.
    std::vector<input_event> writtenFeedback();

    // Used by the fake kernel.
    struct Client {
        ino_t inode;
        int testFd;
    };
    int open();
    bool gone = false;
    std::bitset<KEY_CNT> keys;
    ino_t grabbedBy = 0;
    std::vector<Client> clients;
};

struct Uinput {
    ~Uinput();
    std::vector<input_event> take();         // what the tap wrote since the last call
    void sendLed(unsigned code, int value);  // the desktop sets an LED on the virtual device

    int testFd = -1;
    ino_t inode = 0;
    std::set<std::pair<unsigned, unsigned>> declared;  // (type, code); type 0: event types
    uinput_setup setup{};
    bool created = false;
    bool destroyed = false;
};

// The devices behind the tap's InputSystem.
class System final : public InputSystem {
  public:
    System();
    ~System() override;

    std::shared_ptr<Device> add(const std::string& devnode, DeviceShape shape);
    // Adds a device later and announces it on the monitor.
    std::shared_ptr<Device> plug(const std::string& devnode, DeviceShape shape);
    // Announces the removal on the monitor (the device also vanishes).
    void unplug(const std::string& devnode);
    // The uinput devices the tap created, in order (openings that never
    // created a device, like the permission check, are left out).
    std::vector<std::shared_ptr<Uinput>> uinputs() const;

    int uinputError = 0;  // errno for opening /dev/uinput, 0 = works
    int nodeError = 0;    // errno for opening event nodes, 0 = works
    bool inputDirectory = true;

    int openEventNode(const std::string& devnode) override;
    int openUinput() override;
    bool hasInputDirectory() override { return inputDirectory; }
    std::vector<std::string> eventNodes() override;
    int startMonitor() override { return monitorFd_; }
    std::vector<DeviceChange> readChanges() override;

  private:
    void announce();
    std::vector<std::pair<std::string, std::shared_ptr<Device>>> devices_;
    std::vector<DeviceChange> changes_;
    std::vector<std::shared_ptr<Uinput>> made_;
    int monitorFd_ = -1;
};

// Reads every event waiting on a descriptor (non-blocking).
std::vector<input_event> drain(int fd);

// "MSC_SCAN KEY_ENTER=1 | KEY_ENTER=0 |": events as text, frames ended by " |".
std::string describe(const std::vector<input_event>& events);

}  // namespace sendhold::fake
