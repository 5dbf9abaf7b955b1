#pragma once

// A stand-in for evdev and uinput, for tests without /dev/input. Devices are
// socket pairs carrying struct input_event; FakeKernel.cpp replaces this
// process's ioctl() and read() so that the fake answers for them (and only
// for them), keyed by socket inode.

#include <libevdev/libevdev.h>
#include <linux/uinput.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bitset>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <utility>

#include "platform/linux/InputSystem.h"

namespace sendhold::fake {

using Codes = std::set<std::pair<unsigned, unsigned>>;  // (type, code); type 0: event types
struct Device;
struct Uinput;

struct Registry {
    std::recursive_mutex mutex;
    std::map<ino_t, Device*> devices;
    std::map<ino_t, Uinput*> uinputs;
};
inline Registry& registry() {
    static Registry* instance = new Registry();
    return *instance;
}
inline ino_t inodeOf(int fd) {
    struct stat status {};
    return fstat(fd, &status) == 0 && S_ISSOCK(status.st_mode) ? status.st_ino : 0;
}
inline std::pair<int, int> socketPair() {  // the tap's end, the test's end
    int fds[2] = {-1, -1};
    socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds);
    return {fds[0], fds[1]};
}
inline std::vector<input_event> drain(int fd) {  // every event waiting, non-blocking
    std::vector<input_event> events;
    for (input_event e; ::recv(fd, &e, sizeof e, MSG_DONTWAIT) == sizeof e;) events.push_back(e);
    return events;
}
// "MSC_SCAN=28 KEY_ENTER=1 | KEY_ENTER=0 |": frames ended by " |".
inline std::string describe(const std::vector<input_event>& events) {
    std::string text;
    for (const input_event& e : events) {
        const char* name = libevdev_event_code_get_name(e.type, e.code);
        text += (text.empty() ? "" : " ") +
                (e.type == EV_SYN && e.code == SYN_REPORT
                     ? "|"
                     : std::string(name ? name : "?") + "=" + std::to_string(e.value));
    }
    return text;
}
inline input_event event(unsigned type, unsigned code, int value = 0) {
    return input_event{{}, static_cast<__u16>(type), static_cast<__u16>(code), value};
}

struct Shape {
    std::string name = "Fake keyboard";
    input_id id{BUS_USB, 0x046d, 0xc31c, 0x0110};
    Codes codes;
};
// A keyboard with scan codes and lights, optionally without Shift keys.
inline Shape keyboard(std::string name = "Fake keyboard", bool shiftKeys = true) {
    Shape shape{.name = std::move(name), .codes = {{EV_MSC, MSC_SCAN}, {EV_LED, LED_CAPSL}}};
    for (unsigned code = KEY_ESC; code <= KEY_KPENTER; ++code)
        if (shiftKeys || (code != KEY_LEFTSHIFT && code != KEY_RIGHTSHIFT))
            shape.codes.insert({EV_KEY, code});
    return shape;
}

struct Device {
    Shape shape;
    bool gone = false;             // reads fail with ENODEV, as for an unplugged device
    std::function<void()> onGrab;  // runs after each granted grab
    std::bitset<KEY_CNT> keys;     // the kernel's key state
    ino_t grabbedBy = 0;
    std::vector<std::pair<ino_t, int>> clients;  // the tap's socket inode, the test's end

    ~Device() {
        std::lock_guard lock(registry().mutex);
        for (auto [inode, testFd] : clients) registry().devices.erase(inode), ::close(testFd);
    }
    int open() {
        auto [tapFd, testFd] = socketPair();
        std::lock_guard lock(registry().mutex);
        registry().devices[clients.emplace_back(inodeOf(tapFd), testFd).first] = this;
        return tapFd;
    }
    bool grabbed() const {  // a grab ends when its descriptor is closed
        std::lock_guard lock(registry().mutex);
        for (auto [inode, testFd] : clients) {
            pollfd check{testFd, POLLRDHUP, 0};
            if (inode == grabbedBy) return poll(&check, 1, 0) == 0;
        }
        return false;
    }
    // Sends events (a frame when `report` adds SYN_REPORT) to the grabbing
    // client or, with no grab, to every client; the key state follows.
    void send(std::vector<input_event> events, bool report = true) {
        if (report) events.push_back(event(EV_SYN, SYN_REPORT));
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        std::lock_guard lock(registry().mutex);
        for (input_event& e : events) {
            e.input_event_sec = now.tv_sec;
            e.input_event_usec = now.tv_nsec / 1000;
            if (e.type == EV_KEY) keys.set(e.code, e.value != 0);
        }
        for (auto [inode, testFd] : clients)
            if (!grabbed() || grabbedBy == inode)
                ::send(testFd, events.data(), events.size() * sizeof events[0], MSG_NOSIGNAL);
    }
    void key(unsigned code, int value) {  // with its scan code, as keyboards send it
        send({event(EV_MSC, MSC_SCAN, 0x70000 + static_cast<int>(code)),
              event(EV_KEY, code, value)});
    }
    std::string lights() {  // LED events written to the device
        std::vector<input_event> all;
        for (auto [inode, testFd] : clients)
            for (const input_event& e : drain(testFd)) all.push_back(e);
        return describe(all);
    }
};

struct Uinput {
    int testFd = -1;
    ino_t inode = 0;
    Codes declared;
    std::bitset<KEY_CNT> keys;
    uinput_setup setup{};
    bool created = false, destroyed = false;

    ~Uinput() {
        std::lock_guard lock(registry().mutex);
        registry().uinputs.erase(inode), ::close(testFd);
    }
    // What was written since the last call as the input core passes it on:
    // undeclared codes, key events that change nothing (but repeats) and
    // empty frames are dropped.
    std::string take() {
        std::vector<input_event> kept;
        for (const input_event& e : drain(testFd)) {
            const bool key = e.type == EV_KEY && e.value != 2;
            if (key && keys.test(e.code) == (e.value != 0)) continue;
            if (e.type == EV_SYN
                    ? !kept.empty() && kept.back().type != EV_SYN
                    : declared.count({0, e.type}) && declared.count({e.type, e.code})) {
                kept.push_back(e);
                if (key) keys.set(e.code, e.value != 0);
            }
        }
        return describe(kept);
    }
};

class System final : public InputSystem {
  public:
    int uinputError = 0, nodeError = 0;  // errno for opening, 0 = works
    bool inputDirectory = true;

    ~System() override { ::close(monitorFd_); }
    std::shared_ptr<Device> add(const std::string& devnode, Shape shape, bool announce = false) {
        auto device = devices_.emplace_back(devnode, std::make_shared<Device>(std::move(shape)));
        if (announce) tell(DeviceChange::Kind::Added, devnode);
        return device.second;
    }
    void unplug(const std::string& devnode) {  // the device vanishes; udev tells
        for (auto& [node, device] : devices_) device->gone |= node == devnode;
        tell(DeviceChange::Kind::Removed, devnode);
    }
    std::shared_ptr<Uinput> uinput(std::size_t index) const {  // of those created, in order
        for (const auto& made : made_)
            if (made->created && index-- == 0) return made;
        return nullptr;
    }

    int openEventNode(const std::string& devnode) override {
        for (auto& [node, device] : devices_)
            if (node == devnode && !device->gone) return nodeError ? -nodeError : device->open();
        return -ENOENT;
    }
    int openUinput() override {
        if (uinputError) return -uinputError;
        auto [tapFd, testFd] = socketPair();
        std::lock_guard lock(registry().mutex);
        Uinput& made = *made_.emplace_back(std::make_shared<Uinput>());
        made.testFd = testFd;
        registry().uinputs[made.inode = inodeOf(tapFd)] = &made;
        return tapFd;
    }
    bool hasInputDirectory() override { return inputDirectory; }
    std::vector<std::string> eventNodes() override {
        std::vector<std::string> nodes;
        for (const auto& [node, device] : devices_)
            if (!device->gone) nodes.push_back(node);
        return nodes;
    }
    int startMonitor() override { return monitorFd_; }
    std::vector<DeviceChange> readChanges() override {
        eventfd_t count = 0;
        eventfd_read(monitorFd_, &count);
        return std::exchange(changes_, {});
    }

  private:
    void tell(DeviceChange::Kind kind, const std::string& devnode) {
        changes_.push_back({kind, devnode});
        eventfd_write(monitorFd_, 1);
    }
    std::vector<std::pair<std::string, std::shared_ptr<Device>>> devices_;
    std::vector<DeviceChange> changes_;
    std::vector<std::shared_ptr<Uinput>> made_;
    int monitorFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
};

}  // namespace sendhold::fake
