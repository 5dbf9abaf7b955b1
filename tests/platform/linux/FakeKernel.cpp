#include "FakeKernel.h"

#include <fcntl.h>
#include <libevdev/libevdev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>

namespace sendhold::fake {
namespace {

// The model the replaced ioctl() and read() consult, keyed by socket inode so
// that duplicated descriptors are recognised and closed ones never confused.
struct Registry {
    std::recursive_mutex mutex;
    std::map<ino_t, Device*> devices;
    std::map<ino_t, Uinput*> uinputs;
    std::atomic<bool> anyGone{false};  // spares the other reads a lookup
};

Registry& registry() {
    static Registry* instance = new Registry();
    return *instance;
}

ino_t inodeOf(int fd) {
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISSOCK(status.st_mode)) return 0;
    return status.st_ino;
}

bool peerAlive(int testFd) {
    pollfd check{testFd, POLLRDHUP, 0};
    return poll(&check, 1, 0) == 0 || !(check.revents & (POLLHUP | POLLRDHUP | POLLERR));
}

void setBit(void* bits, unsigned size, unsigned bit) {
    if (bit / 8 < size) static_cast<unsigned char*>(bits)[bit / 8] |= 1u << (bit % 8);
}

std::pair<int, int> socketPair() {
    int fds[2] = {-1, -1};
    socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds);
    return {fds[0], fds[1]};
}

int fail(int error) {
    errno = error;
    return -1;
}

int deviceIoctl(Device& device, ino_t inode, unsigned long request, void* arg) {
    const unsigned nr = _IOC_NR(request);
    const unsigned size = _IOC_SIZE(request);
    if (_IOC_TYPE(request) != 'E') return fail(EINVAL);
    if (nr == _IOC_NR(EVIOCGRAB)) {
        if (!device.grabbed()) device.grabbedBy = 0;  // a grab ends when its descriptor is closed
        if (device.grabbedBy != inode && (arg == nullptr || device.grabbedBy)) {
            return fail(arg == nullptr ? EINVAL : EBUSY);
        }
        device.grabbedBy = arg != nullptr ? inode : 0;
        return 0;
    }
    if (!(_IOC_DIR(request) & _IOC_READ)) return 0;  // settings such as EVIOCSCLOCKID
    // Whatever is not modelled (LEDs, switches, axes, repeat, phys) reads as empty.
    std::memset(arg, 0, size);
    if (nr == _IOC_NR(EVIOCGVERSION)) *static_cast<int*>(arg) = EV_VERSION;
    if (nr == _IOC_NR(EVIOCGID)) std::memcpy(arg, &device.shape.id, sizeof device.shape.id);
    if (nr == _IOC_NR(EVIOCGNAME(0))) {
        const std::size_t length = std::min<std::size_t>(size - 1, device.shape.name.size());
        std::memcpy(arg, device.shape.name.data(), length);
        return static_cast<int>(length + 1);
    }
    if (nr == _IOC_NR(EVIOCGKEY(0))) {
        for (unsigned code = 0; code < KEY_CNT; ++code) {
            if (device.keys.test(code)) setBit(arg, size, code);
        }
    }
    if (nr >= _IOC_NR(EVIOCGBIT(0, 0)) && nr < _IOC_NR(EVIOCGBIT(EV_MAX + 1, 0))) {
        const unsigned type = nr - _IOC_NR(EVIOCGBIT(0, 0));
        for (const auto& [t, code] : device.shape.codes) {
            if (type == 0) setBit(arg, size, t);
            if (t == type) setBit(arg, size, code);
        }
        if (type == 0) setBit(arg, size, EV_SYN);
    }
    return static_cast<int>(size);
}

int uinputIoctl(Uinput& uinput, unsigned long request, void* arg) {
    static const std::map<unsigned long, unsigned> kDeclaredType = {
        {UI_SET_EVBIT, 0},       {UI_SET_KEYBIT, EV_KEY}, {UI_SET_RELBIT, EV_REL},
        {UI_SET_ABSBIT, EV_ABS}, {UI_SET_MSCBIT, EV_MSC}, {UI_SET_LEDBIT, EV_LED},
        {UI_SET_SNDBIT, EV_SND}, {UI_SET_SWBIT, EV_SW}};
    if (auto type = kDeclaredType.find(request); type != kDeclaredType.end()) {
        uinput.declared.insert(
            {type->second, static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(arg))});
    } else if (request == UI_DEV_SETUP) {
        std::memcpy(&uinput.setup, arg, sizeof uinput.setup);
    } else if (request == UI_DEV_CREATE) {
        uinput.created = true;
    } else if (request == UI_DEV_DESTROY) {
        uinput.destroyed = true;
    } else if (request != UI_SET_PROPBIT && request != UI_ABS_SETUP) {
        return fail(EINVAL);
    }
    return 0;
}

}  // namespace

Device::~Device() {
    std::lock_guard lock(registry().mutex);
    for (const Client& client : clients) {
        registry().devices.erase(client.inode);
        ::close(client.testFd);
    }
}

int Device::open() {
    auto [tapFd, testFd] = socketPair();
    std::lock_guard lock(registry().mutex);
    const ino_t inode = inodeOf(tapFd);
    clients.push_back({inode, testFd});
    registry().devices[inode] = this;
    return tapFd;
}

input_event event(unsigned type, unsigned code, int value) {
    input_event made{};
    made.type = static_cast<__u16>(type);
    made.code = static_cast<__u16>(code);
    made.value = value;
    return made;
}

void Device::sendFrame(std::vector<input_event> events) {
    events.push_back(event(EV_SYN, SYN_REPORT));
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::lock_guard lock(registry().mutex);
    for (input_event& e : events) {
        e.input_event_sec = now.tv_sec;
        e.input_event_usec = now.tv_nsec / 1000;
        if (e.type == EV_KEY && e.code < KEY_CNT) keys.set(e.code, e.value != 0);
    }
    const bool grabAlive = grabbed();
    for (const Client& client : clients) {
        if (grabAlive && grabbedBy != client.inode) continue;
        ::send(client.testFd, events.data(), events.size() * sizeof(input_event),
               MSG_NOSIGNAL | MSG_DONTWAIT);
    }
}

void Device::key(unsigned code, int value) {
    sendFrame(
        {event(EV_MSC, MSC_SCAN, 0x70000 + static_cast<int>(code)), event(EV_KEY, code, value)});
}

void Device::setKeyQuietly(unsigned code, bool down) {
    std::lock_guard lock(registry().mutex);
    keys.set(code, down);
}

void Device::vanish() {
    std::lock_guard lock(registry().mutex);
    gone = true;
    registry().anyGone = true;
}

bool Device::grabbed() const {
    std::lock_guard lock(registry().mutex);
    for (const Client& client : clients) {
        if (client.inode == grabbedBy) return peerAlive(client.testFd);
    }
    return false;
}

std::vector<input_event> Device::writtenFeedback() {
    std::vector<input_event> all;
    std::lock_guard lock(registry().mutex);
    for (const Client& client : clients) {
        for (const input_event& e : drain(client.testFd)) {
            if (e.type == EV_LED) all.push_back(e);
        }
    }
    return all;
}

Uinput::~Uinput() {
    std::lock_guard lock(registry().mutex);
    registry().uinputs.erase(inode);
    ::close(testFd);
}

std::vector<input_event> Uinput::take() {
    return drain(testFd);
}

void Uinput::sendLed(unsigned code, int value) {
    const input_event led = event(EV_LED, code, value);
    ::send(testFd, &led, sizeof led, MSG_NOSIGNAL | MSG_DONTWAIT);
}

DeviceShape keyboardShape(std::string name) {
    DeviceShape shape;
    shape.name = std::move(name);
    for (unsigned code = KEY_ESC; code <= KEY_KPDOT; ++code) shape.codes.insert({EV_KEY, code});
    for (unsigned code : {KEY_KPENTER, KEY_RIGHTCTRL, KEY_RIGHTALT, KEY_LEFTMETA, KEY_RIGHTMETA}) {
        shape.codes.insert({EV_KEY, code});
    }
    for (unsigned led : {LED_NUML, LED_CAPSL, LED_SCROLLL}) shape.codes.insert({EV_LED, led});
    shape.codes.insert({EV_MSC, MSC_SCAN});
    shape.codes.insert({EV_REP, REP_DELAY});
    return shape;
}

DeviceShape withPointer(DeviceShape shape) {
    for (unsigned code : {REL_X, REL_Y, REL_WHEEL}) shape.codes.insert({EV_REL, code});
    for (unsigned code : {BTN_LEFT, BTN_RIGHT, BTN_MIDDLE}) shape.codes.insert({EV_KEY, code});
    return shape;
}

System::System() : monitorFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

System::~System() {
    ::close(monitorFd_);
}

std::shared_ptr<Device> System::add(const std::string& devnode, DeviceShape shape) {
    auto device = std::make_shared<Device>(std::move(shape));
    devices_.emplace_back(devnode, device);
    return device;
}

std::shared_ptr<Device> System::plug(const std::string& devnode, DeviceShape shape) {
    auto device = add(devnode, std::move(shape));
    changes_.push_back({DeviceChange::Kind::Added, devnode});
    announce();
    return device;
}

void System::unplug(const std::string& devnode) {
    for (auto& [node, device] : devices_) {
        if (node == devnode) device->vanish();
    }
    changes_.push_back({DeviceChange::Kind::Removed, devnode});
    announce();
}

void System::announce() {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(monitorFd_, &one, sizeof one);
}

std::vector<std::shared_ptr<Uinput>> System::uinputs() const {
    std::vector<std::shared_ptr<Uinput>> created;
    std::lock_guard lock(registry().mutex);
    for (const auto& uinput : made_) {
        if (uinput->created) created.push_back(uinput);
    }
    return created;
}

int System::openEventNode(const std::string& devnode) {
    if (nodeError) return -nodeError;
    for (auto& [node, device] : devices_) {
        if (node == devnode && !device->gone) return device->open();
    }
    return -ENOENT;
}

int System::openUinput() {
    if (uinputError) return -uinputError;
    auto [tapFd, testFd] = socketPair();
    auto uinput = std::make_shared<Uinput>();
    uinput->testFd = testFd;
    uinput->inode = inodeOf(tapFd);
    std::lock_guard lock(registry().mutex);
    registry().uinputs[uinput->inode] = uinput.get();
    made_.push_back(uinput);
    return tapFd;
}

std::vector<std::string> System::eventNodes() {
    std::vector<std::string> nodes;
    for (const auto& [node, device] : devices_) {
        if (!device->gone) nodes.push_back(node);
    }
    return nodes;
}

std::vector<DeviceChange> System::readChanges() {
    std::uint64_t count = 0;
    [[maybe_unused]] ssize_t got = ::read(monitorFd_, &count, sizeof count);
    std::vector<DeviceChange> changes;
    changes.swap(changes_);
    return changes;
}

std::vector<input_event> drain(int fd) {
    std::vector<input_event> events;
    std::array<input_event, 64> buffer{};
    for (;;) {
        const ssize_t got = ::recv(fd, buffer.data(), sizeof buffer, MSG_DONTWAIT);
        if (got <= 0) break;
        events.insert(events.end(), buffer.begin(),
                      buffer.begin() + static_cast<std::size_t>(got) / sizeof(input_event));
    }
    return events;
}

std::string describe(const std::vector<input_event>& events) {
    std::string text;
    for (const input_event& e : events) {
        if (!text.empty()) text += ' ';
        if (e.type == EV_SYN && e.code == SYN_REPORT) {
            text += '|';
            continue;
        }
        const char* name = libevdev_event_code_get_name(e.type, e.code);
        text += name ? name : "?";
        if (e.type != EV_MSC) text += "=" + std::to_string(e.value);
    }
    return text;
}

}  // namespace sendhold::fake

// The replaced system calls. Everything that is not a fake device goes
// straight to the kernel.
extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    using namespace sendhold::fake;
    const ino_t inode = inodeOf(fd);
    if (inode) {
        std::lock_guard lock(registry().mutex);
        if (auto device = registry().devices.find(inode); device != registry().devices.end()) {
            return deviceIoctl(*device->second, inode, request, arg);
        }
        if (auto uinput = registry().uinputs.find(inode); uinput != registry().uinputs.end()) {
            return uinputIoctl(*uinput->second, request, arg);
        }
    }
    return static_cast<int>(syscall(SYS_ioctl, fd, request, arg));
}

extern "C" ssize_t read(int fd, void* buffer, size_t count) {
    using namespace sendhold::fake;
    if (registry().anyGone) {
        const ino_t inode = inodeOf(fd);
        std::lock_guard lock(registry().mutex);
        auto device = registry().devices.find(inode);
        if (inode && device != registry().devices.end() && device->second->gone)
            return fail(ENODEV);
    }
    return syscall(SYS_read, fd, buffer, count);
}
