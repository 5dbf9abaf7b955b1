#include "FakeKernel.h"

#include <sys/syscall.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstring>

using namespace sendhold::fake;

static void setBit(void* bits, unsigned size, unsigned bit) {
    if (bit / 8 < size) static_cast<unsigned char*>(bits)[bit / 8] |= 1u << (bit % 8);
}

static int deviceIoctl(Device& device, ino_t inode, unsigned long request, void* arg) {
    const unsigned nr = _IOC_NR(request), size = _IOC_SIZE(request);
    if (request == EVIOCGRAB) {
        if (!device.grabbed()) device.grabbedBy = 0;
        // As evdev: a second grab is refused even to its holder; only it lets go.
        if (arg ? device.grabbedBy != 0 : device.grabbedBy != inode)
            return errno = arg ? EBUSY : EINVAL, -1;
        device.grabbedBy = arg ? inode : 0;
        return 0;
    }
    if (!(_IOC_DIR(request) & _IOC_READ)) return 0;  // settings such as EVIOCSCLOCKID
    std::memset(arg, 0, size);                       // what is not modelled reads as empty
    if (nr == _IOC_NR(EVIOCGVERSION)) *static_cast<int*>(arg) = EV_VERSION;
    if (nr == _IOC_NR(EVIOCGID)) std::memcpy(arg, &device.shape.id, sizeof device.shape.id);
    if (nr == _IOC_NR(EVIOCGNAME(0))) {
        std::strncpy(static_cast<char*>(arg), device.shape.name.c_str(), size - 1);
        return static_cast<int>(std::min<std::size_t>(size - 1, device.shape.name.size()) + 1);
    }
    for (unsigned code = 0; nr == _IOC_NR(EVIOCGKEY(0)) && code < KEY_CNT; ++code)
        if (device.keys.test(code)) setBit(arg, size, code);
    const unsigned type = nr - _IOC_NR(EVIOCGBIT(0, 0));  // EVIOCGBIT(type) for types up to EV_MAX
    for (const auto& [t, code] : device.shape.codes)
        if (type <= EV_MAX && (type == 0 || t == type)) setBit(arg, size, type ? code : t);
    return static_cast<int>(size);
}

static int uinputIoctl(Uinput& uinput, unsigned long request, void* arg) {
    // UI_SET_EVBIT, UI_SET_KEYBIT, ... UI_SET_SWBIT, by number.
    constexpr std::array kDeclared = {0,      EV_KEY, EV_REL, EV_ABS, EV_MSC,
                                      EV_LED, EV_SND, EV_FF,  -1,     EV_SW};
    const unsigned nr = _IOC_NR(request) - _IOC_NR(UI_SET_EVBIT);
    if (_IOC_TYPE(request) == UINPUT_IOCTL_BASE && nr < kDeclared.size() && kDeclared[nr] >= 0)
        uinput.declared.insert(
            {kDeclared[nr], static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(arg))});
    if (request == UI_DEV_SETUP) std::memcpy(&uinput.setup, arg, sizeof uinput.setup);
    uinput.created |= request == UI_DEV_CREATE;
    uinput.destroyed |= request == UI_DEV_DESTROY;
    return 0;
}

// The replaced system calls; whatever is no fake device goes to the kernel.
extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    if (const ino_t inode = inodeOf(fd)) {
        std::unique_lock lock(registry().mutex);
        if (auto device = registry().devices.find(inode); device != registry().devices.end()) {
            const int result = deviceIoctl(*device->second, inode, request, arg);
            const std::function<void()> hook = device->second->onGrab;
            lock.unlock();
            if (hook && result == 0 && request == EVIOCGRAB && arg) hook();
            return result;
        }
        if (auto uinput = registry().uinputs.find(inode); uinput != registry().uinputs.end())
            return uinputIoctl(*uinput->second, request, arg);
    }
    return static_cast<int>(syscall(SYS_ioctl, fd, request, arg));
}

extern "C" ssize_t read(int fd, void* buffer, size_t count) {
    if (const ino_t inode = inodeOf(fd)) {
        std::lock_guard lock(registry().mutex);
        auto device = registry().devices.find(inode);
        if (device != registry().devices.end() && device->second->gone) return errno = ENODEV, -1;
    }
    return syscall(SYS_read, fd, buffer, count);
}
