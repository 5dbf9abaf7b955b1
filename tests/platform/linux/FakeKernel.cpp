#include "FakeKernel.h"

#include <libevdev/libevdev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <utility>

namespace sendhold::fake {
namespace {

// What the replaced calls consult, keyed by socket inode so that duplicated
// descriptors are recognised and closed ones never confused.
struct Registry {
    std::recursive_mutex mutex;
    std::map<ino_t, Device*> devices;
    std::map<ino_t, Uinput*> uinputs;
};
Registry& registry() {
    static Registry* instance = new Registry();
    return *instance;
}

ino_t inodeOf(int fd) {
    struct stat status {};
    return fstat(fd, &status) == 0 && S_ISSOCK(status.st_mode) ? status.st_ino : 0;
}

void setBit(void* bits, unsigned size, unsigned bit) {
    if (bit / 8 < size) static_cast<unsigned char*>(bits)[bit / 8] |= 1u << (bit % 8);
}

// The tap's end, the test's end.
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
    const unsigned nr = _IOC_NR(request), size = _IOC_SIZE(request);
    if (request == EVIOCGRAB) {
        if (!device.grabbed()) device.grabbedBy = 0;  // a grab ends with its descriptor
        // As evdev: a second grab is refused even to its holder; only it lets go.
        if (arg ? device.grabbedBy != 0 : device.grabbedBy != inode)
            return fail(arg ? EBUSY : EINVAL);
        device.grabbedBy = arg ? inode : 0;
        return 0;
    }
    if (!(_IOC_DIR(request) & _IOC_READ)) return 0;  // settings such as EVIOCSCLOCKID
    std::memset(arg, 0, size);                       // what is not modelled reads as empty
    if (nr == _IOC_NR(EVIOCGVERSION)) *static_cast<int*>(arg) = EV_VERSION;
    if (nr == _IOC_NR(EVIOCGID)) std::memcpy(arg, &device.shape.id, sizeof device.shape.id);
    if (nr == _IOC_NR(EVIOCGNAME(0))) {
        const std::size_t length = std::min<std::size_t>(size - 1, device.shape.name.size());
        std::memcpy(arg, device.shape.name.data(), length);
        return static_cast<int>(length + 1);
    }
    for (unsigned code = 0; nr == _IOC_NR(EVIOCGKEY(0)) && code < KEY_CNT; ++code) {
        if (device.keys.test(code)) setBit(arg, size, code);
    }
    if (nr >= _IOC_NR(EVIOCGBIT(0, 0)) && nr < _IOC_NR(EVIOCGBIT(EV_MAX + 1, 0))) {
        const unsigned type = nr - _IOC_NR(EVIOCGBIT(0, 0));
        for (const auto& [t, code] : device.shape.codes) {
            if (type == 0 || t == type) setBit(arg, size, type ? code : t);
        }
        if (type == 0) setBit(arg, size, EV_SYN);
    }
    return static_cast<int>(size);
}

int uinputIoctl(Uinput& uinput, unsigned long request, void* arg) {
    static const std::map<unsigned long, unsigned> kDeclares = {
        {UI_SET_EVBIT, 0},       {UI_SET_KEYBIT, EV_KEY}, {UI_SET_RELBIT, EV_REL},
        {UI_SET_ABSBIT, EV_ABS}, {UI_SET_MSCBIT, EV_MSC}, {UI_SET_LEDBIT, EV_LED},
        {UI_SET_SNDBIT, EV_SND}, {UI_SET_SWBIT, EV_SW}};
    if (auto type = kDeclares.find(request); type != kDeclares.end()) {
        uinput.declared.insert(
            {type->second, static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(arg))});
    } else if (request == UI_DEV_SETUP) {
        std::memcpy(&uinput.setup, arg, sizeof uinput.setup);
    } else if (request == UI_DEV_CREATE || request == UI_DEV_DESTROY) {
        (request == UI_DEV_CREATE ? uinput.created : uinput.destroyed) = true;
    } else if (request != UI_SET_PROPBIT && request != UI_ABS_SETUP) {
        return fail(EINVAL);
    }
    return 0;
}

}  // namespace

input_event event(unsigned type, unsigned code, int value) {
    input_event made{};
    made.type = static_cast<__u16>(type);
    made.code = static_cast<__u16>(code);
    made.value = value;
    return made;
}

Shape keyboard(std::string name, bool shiftKeys) {
    Shape shape{std::move(name), {BUS_USB, 0x046d, 0xc31c, 0x0110}, {}};
    for (unsigned code = KEY_ESC; code <= KEY_KPDOT; ++code) {
        if (shiftKeys || (code != KEY_LEFTSHIFT && code != KEY_RIGHTSHIFT))
            shape.codes.insert({EV_KEY, code});
    }
    for (unsigned code : {KEY_KPENTER, KEY_RIGHTCTRL, KEY_RIGHTALT, KEY_LEFTMETA})
        shape.codes.insert({EV_KEY, code});
    for (unsigned led : {LED_NUML, LED_CAPSL}) shape.codes.insert({EV_LED, led});
    shape.codes.insert({{EV_MSC, MSC_SCAN}, {EV_REP, REP_DELAY}});
    return shape;
}

Shape withPointer(Shape shape) {
    shape.codes.insert({{EV_REL, REL_X}, {EV_REL, REL_Y}, {EV_KEY, BTN_LEFT}, {EV_KEY, BTN_RIGHT}});
    return shape;
}

Device::~Device() {
    std::lock_guard lock(registry().mutex);
    for (auto [inode, testFd] : clients) {
        registry().devices.erase(inode);
        ::close(testFd);
    }
}

int Device::open() {
    auto [tapFd, testFd] = socketPair();
    std::lock_guard lock(registry().mutex);
    clients.emplace_back(inodeOf(tapFd), testFd);
    registry().devices[clients.back().first] = this;
    return tapFd;
}

void Device::send(std::vector<input_event> events, bool report) {
    if (report) events.push_back(event(EV_SYN, SYN_REPORT));
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::lock_guard lock(registry().mutex);
    for (input_event& e : events) {
        e.input_event_sec = now.tv_sec;
        e.input_event_usec = now.tv_nsec / 1000;
        if (e.type == EV_KEY && e.code < KEY_CNT) keys.set(e.code, e.value != 0);
    }
    const bool grab = grabbed();
    for (auto [inode, testFd] : clients) {
        if (grab && grabbedBy != inode) continue;
        ::send(testFd, events.data(), events.size() * sizeof(input_event),
               MSG_NOSIGNAL | MSG_DONTWAIT);
    }
}

void Device::key(unsigned code, int value) {
    send({event(EV_MSC, MSC_SCAN, 0x70000 + static_cast<int>(code)), event(EV_KEY, code, value)});
}

bool Device::grabbed() const {
    std::lock_guard lock(registry().mutex);
    for (auto [inode, testFd] : clients) {
        pollfd check{testFd, POLLRDHUP, 0};
        if (inode == grabbedBy)
            return poll(&check, 1, 0) == 0 || !(check.revents & (POLLHUP | POLLRDHUP));
    }
    return false;
}

std::vector<input_event> Device::lights() {
    std::vector<input_event> all;
    std::lock_guard lock(registry().mutex);
    for (auto [inode, testFd] : clients) {
        for (const input_event& e : drain(testFd)) {
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

std::string Uinput::take() {
    std::vector<input_event> kept;
    for (const input_event& e : drain(testFd)) {
        // The input core also drops key events that change nothing (but
        // repeats), and frames left empty.
        const bool report = e.type == EV_SYN && e.code == SYN_REPORT;
        const bool key = e.type == EV_KEY && e.code < KEY_CNT && e.value != 2;
        if (key && keys.test(e.code) == (e.value != 0)) continue;
        if (report ? !kept.empty() && kept.back().type != EV_SYN
                   : declared.count({0, e.type}) && declared.count({e.type, e.code})) {
            kept.push_back(e);
            if (key) keys.set(e.code, e.value != 0);
        }
    }
    return describe(kept);
}

System::System() : monitorFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

System::~System() {
    ::close(monitorFd_);
}

std::shared_ptr<Device> System::add(const std::string& devnode, Shape shape, bool announce) {
    auto device = devices_.emplace_back(devnode, std::make_shared<Device>()).second;
    device->shape = std::move(shape);
    if (announce) changes_.push_back({DeviceChange::Kind::Added, devnode});
    if (announce) eventfd_write(monitorFd_, 1);
    return device;
}

void System::unplug(const std::string& devnode) {
    for (auto& [node, device] : devices_) device->gone |= node == devnode;
    changes_.push_back({DeviceChange::Kind::Removed, devnode});
    eventfd_write(monitorFd_, 1);
}

std::vector<std::shared_ptr<Uinput>> System::uinputs() const {
    std::vector<std::shared_ptr<Uinput>> created;
    std::copy_if(made_.begin(), made_.end(), std::back_inserter(created),
                 [](auto& u) { return u->created; });
    return created;
}

int System::openEventNode(const std::string& devnode) {
    for (auto& [node, device] : devices_) {
        if (node == devnode && !device->gone) return nodeError ? -nodeError : device->open();
    }
    return -ENOENT;
}

int System::openUinput() {
    if (uinputError) return -uinputError;
    auto [tapFd, testFd] = socketPair();
    auto uinput = made_.emplace_back(std::make_shared<Uinput>());
    uinput->testFd = testFd;
    uinput->inode = inodeOf(tapFd);
    std::lock_guard lock(registry().mutex);
    registry().uinputs[uinput->inode] = uinput.get();
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
    eventfd_t count = 0;
    eventfd_read(monitorFd_, &count);
    return std::exchange(changes_, {});
}

std::vector<input_event> drain(int fd) {
    std::vector<input_event> events;
    std::array<input_event, 64> buffer{};
    for (ssize_t got; (got = ::recv(fd, buffer.data(), sizeof buffer, MSG_DONTWAIT)) > 0;) {
        events.insert(events.end(), buffer.begin(),
                      buffer.begin() + got / static_cast<ssize_t>(sizeof(input_event)));
    }
    return events;
}

std::string describe(const std::vector<input_event>& events) {
    std::string text;
    for (const input_event& e : events) {
        if (!text.empty()) text += ' ';
        const char* name = libevdev_event_code_get_name(e.type, e.code);
        if (e.type == EV_SYN && e.code == SYN_REPORT) {
            text += '|';
        } else {
            text += std::string(name ? name : "?") +
                    (e.type == EV_MSC ? "" : "=" + std::to_string(e.value));
        }
    }
    return text;
}

}  // namespace sendhold::fake

// The replaced system calls; whatever is no fake device goes to the kernel.
extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    using namespace sendhold::fake;
    if (const ino_t inode = inodeOf(fd)) {
        std::unique_lock lock(registry().mutex);
        if (auto device = registry().devices.find(inode); device != registry().devices.end()) {
            const int result = deviceIoctl(*device->second, inode, request, arg);
            const std::function<void()> hook = device->second->onGrab;
            lock.unlock();
            if (hook && result == 0 && request == EVIOCGRAB && arg) hook();
            return result;
        }
        if (auto uinput = registry().uinputs.find(inode); uinput != registry().uinputs.end()) {
            return uinputIoctl(*uinput->second, request, arg);
        }
    }
    return static_cast<int>(syscall(SYS_ioctl, fd, request, arg));
}

extern "C" ssize_t read(int fd, void* buffer, size_t count) {
    using namespace sendhold::fake;
    if (const ino_t inode = inodeOf(fd)) {
        std::lock_guard lock(registry().mutex);
        auto device = registry().devices.find(inode);
        if (device != registry().devices.end() && device->second->gone) return fail(ENODEV);
    }
    return syscall(SYS_read, fd, buffer, count);
}
