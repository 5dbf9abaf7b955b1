#include "VirtualKeyboard.h"

#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>
#include <thread>

namespace vmtest {

VirtualKeyboard::VirtualKeyboard(const std::string& name, bool withPointer) : name_(name) {
    device_ = libevdev_new();
    libevdev_set_name(device_, name.c_str());
    libevdev_set_id_bustype(device_, BUS_USB);
    libevdev_set_id_vendor(device_, 0x7e57);
    libevdev_set_id_product(device_, withPointer ? 0x0002 : 0x0001);
    for (unsigned code = KEY_ESC; code <= KEY_MICMUTE; ++code) {
        libevdev_enable_event_code(device_, EV_KEY, code, nullptr);
    }
    libevdev_enable_event_code(device_, EV_MSC, MSC_SCAN, nullptr);
    // With EV_REP the input core repeats held keys (250 ms, then every 33 ms),
    // as it does for real USB keyboards.
    int delay = 250;
    int period = 33;
    libevdev_enable_event_code(device_, EV_REP, REP_DELAY, &delay);
    libevdev_enable_event_code(device_, EV_REP, REP_PERIOD, &period);
    if (withPointer) {
        libevdev_enable_event_code(device_, EV_REL, REL_X, nullptr);
        libevdev_enable_event_code(device_, EV_REL, REL_Y, nullptr);
        libevdev_enable_event_code(device_, EV_KEY, BTN_LEFT, nullptr);
        libevdev_enable_event_code(device_, EV_KEY, BTN_RIGHT, nullptr);
    }
    int error = libevdev_uinput_create_from_device(device_, LIBEVDEV_UINPUT_OPEN_MANAGED, &uinput_);
    if (error != 0) {
        throw std::runtime_error("uinput keyboard " + name + ": " + std::strerror(-error));
    }
    // devtmpfs makes the node a few milliseconds after the device exists.
    for (int i = 0; i < 200 && node_.empty(); ++i) {
        const char* node = libevdev_uinput_get_devnode(uinput_);
        if (node != nullptr && access(node, R_OK) == 0) {
            node_ = node;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    if (node_.empty()) throw std::runtime_error("uinput keyboard " + name + " got no node");
}

VirtualKeyboard::~VirtualKeyboard() {
    unplug();
    libevdev_free(device_);
}

void VirtualKeyboard::write(unsigned type, unsigned code, int value) {
    if (uinput_ == nullptr) throw std::logic_error(name_ + " is unplugged");
    int error = libevdev_uinput_write_event(uinput_, type, code, value);
    if (error != 0) throw std::runtime_error(name_ + ": write: " + std::strerror(-error));
}

void VirtualKeyboard::press(int code) {
    write(EV_MSC, MSC_SCAN, scanCode(code));
    write(EV_KEY, code, 1);
    write(EV_SYN, SYN_REPORT, 0);
}

void VirtualKeyboard::release(int code) {
    write(EV_MSC, MSC_SCAN, scanCode(code));
    write(EV_KEY, code, 0);
    write(EV_SYN, SYN_REPORT, 0);
}

void VirtualKeyboard::tap(int code, std::chrono::milliseconds hold) {
    press(code);
    std::this_thread::sleep_for(hold);
    release(code);
}

void VirtualKeyboard::move(int dx, int dy) {
    write(EV_REL, REL_X, dx);
    write(EV_REL, REL_Y, dy);
    write(EV_SYN, SYN_REPORT, 0);
}

void VirtualKeyboard::unplug() {
    if (uinput_ != nullptr) {
        libevdev_uinput_destroy(uinput_);
        uinput_ = nullptr;
    }
}

}  // namespace vmtest
