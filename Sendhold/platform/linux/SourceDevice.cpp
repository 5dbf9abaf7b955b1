#include "SourceDevice.h"

#include <libevdev/libevdev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <ctime>

#include "OwnDeviceId.h"

namespace sendhold {

std::unique_ptr<SourceDevice> SourceDevice::adopt(int fd, std::string devnode) {
    libevdev* dev = nullptr;
    if (libevdev_new_from_fd(fd, &dev) != 0) {
        ::close(fd);
        return nullptr;
    }
    // Monotonic event times, so that they compare with the watchdog's clock.
    libevdev_set_clock_id(dev, CLOCK_MONOTONIC);
    return std::unique_ptr<SourceDevice>(new SourceDevice(fd, std::move(devnode), dev));
}

SourceDevice::SourceDevice(int fd, std::string devnode, libevdev* dev)
    : fd_(fd), devnode_(std::move(devnode)), dev_(dev) {}

SourceDevice::~SourceDevice() {
    libevdev_free(dev_);
    // Closing the descriptor also ends a grab.
    ::close(fd_);
}

std::string SourceDevice::name() const {
    const char* name = libevdev_get_name(dev_);
    return name ? name : "";
}

bool SourceDevice::isKeyboard() const {
    static constexpr std::array kRequired = {KEY_Q, KEY_W, KEY_E, KEY_R, KEY_T, KEY_Y,    KEY_U,
                                             KEY_I, KEY_O, KEY_P, KEY_A, KEY_S, KEY_D,    KEY_F,
                                             KEY_G, KEY_H, KEY_J, KEY_K, KEY_L, KEY_Z,    KEY_X,
                                             KEY_C, KEY_V, KEY_B, KEY_N, KEY_M, KEY_ENTER};
    for (int code : kRequired) {
        if (!libevdev_has_event_code(dev_, EV_KEY, code)) return false;
    }
    return true;
}

bool SourceDevice::isOwnDevice() const {
    return libevdev_get_id_bustype(dev_) == kOwnBusType &&
           libevdev_get_id_vendor(dev_) == kOwnVendorId &&
           libevdev_get_id_product(dev_) == kOwnProductId;
}

bool SourceDevice::anyKeyHeld() const {
    std::array<unsigned char, KEY_CNT / 8 + 1> bits{};
    if (ioctl(fd_, EVIOCGKEY(bits.size()), bits.data()) < 0) {
        // Unknown state: fall back on what the events said.
        for (unsigned code = 0; code < KEY_CNT; ++code) {
            if (isDown(code)) return true;
        }
        return false;
    }
    for (unsigned char byte : bits) {
        if (byte) return true;
    }
    return false;
}

bool SourceDevice::isDown(unsigned code) const {
    return libevdev_get_event_value(dev_, EV_KEY, code) != 0;
}

int SourceDevice::grab() {
    if (ioctl(fd_, EVIOCGRAB, 1) < 0) return -errno;
    return 0;
}

void SourceDevice::ungrab() {
    ioctl(fd_, EVIOCGRAB, 0);
}

SourceDevice::ReadStatus SourceDevice::readFrame(std::vector<input_event>& frame) {
    frame.clear();
    for (;;) {
        input_event event{};
        // BLOCKING on a non-blocking descriptor: libevdev then reads the kernel
        // only when its own queue is empty (one read() per frame, not one per
        // event); an empty kernel queue still answers -EAGAIN.
        const unsigned flags = syncing_ ? LIBEVDEV_READ_FLAG_SYNC
                                        : LIBEVDEV_READ_FLAG_NORMAL | LIBEVDEV_READ_FLAG_BLOCKING;
        const int rc = libevdev_next_event(dev_, flags, &event);
        if (rc == -EAGAIN) {
            if (syncing_) {
                // Resync finished; carry on with the ordinary stream.
                syncing_ = false;
                continue;
            }
            return ReadStatus::Empty;
        }
        if (rc < 0) return ReadStatus::Gone;
        if (rc == LIBEVDEV_READ_STATUS_SYNC && !syncing_) {
            // SYN_DROPPED: the frame under way is incomplete and its events are
            // void; what follows in sync mode brings the state up to date.
            syncing_ = true;
            partial_.clear();
            continue;
        }
        partial_.push_back(event);
        if (event.type == EV_SYN && event.code == SYN_REPORT) {
            frame.swap(partial_);
            partial_.clear();
            return ReadStatus::Frame;
        }
    }
}

void SourceDevice::sendFeedback(const input_event& event) {
    std::array<input_event, 2> events{};
    events[0] = event;
    events[1].type = EV_SYN;
    events[1].code = SYN_REPORT;
    // A device opened read-only cannot take it; the light just stays as it is.
    [[maybe_unused]] ssize_t written = ::write(fd_, events.data(), sizeof events);
}

}  // namespace sendhold
