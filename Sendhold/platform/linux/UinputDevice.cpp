#include "UinputDevice.h"

#include <libevdev/libevdev.h>
#include <linux/uinput.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "OwnDeviceId.h"

namespace sendhold {
namespace {

struct CodeBits {
    unsigned type;
    unsigned max;
    unsigned long request;
};

// The event types that are copied, with the ioctl that declares each code.
constexpr std::array kCopiedTypes = {
    CodeBits{EV_KEY, KEY_MAX, UI_SET_KEYBIT}, CodeBits{EV_REL, REL_MAX, UI_SET_RELBIT},
    CodeBits{EV_ABS, ABS_MAX, UI_SET_ABSBIT}, CodeBits{EV_MSC, MSC_MAX, UI_SET_MSCBIT},
    CodeBits{EV_SW, SW_MAX, UI_SET_SWBIT},    CodeBits{EV_LED, LED_MAX, UI_SET_LEDBIT},
    CodeBits{EV_SND, SND_MAX, UI_SET_SNDBIT}};

// Keys the guard posts; declared even when the source lacks them, since a
// uinput device silently drops events it did not declare.
constexpr std::array kPostedKeys = {KEY_ENTER, KEY_KPENTER, KEY_LEFTSHIFT, KEY_RIGHTSHIFT};

bool declare(int fd, const libevdev* source, std::string* error) {
    auto fail = [&](const char* what) {
        if (error) *error = std::string(what) + ": " + std::strerror(errno);
        return false;
    };
    for (const CodeBits& bits : kCopiedTypes) {
        const bool isKey = bits.type == EV_KEY;
        if (!isKey && !libevdev_has_event_type(source, bits.type)) continue;
        if (ioctl(fd, UI_SET_EVBIT, bits.type) < 0) return fail("UI_SET_EVBIT");
        for (unsigned code = 0; code <= bits.max; ++code) {
            if (!libevdev_has_event_code(source, bits.type, code)) continue;
            if (ioctl(fd, bits.request, code) < 0) return fail("UI_SET_*BIT");
            if (bits.type == EV_ABS) {
                uinput_abs_setup abs{};
                abs.code = static_cast<__u16>(code);
                abs.absinfo = *libevdev_get_abs_info(source, code);
                if (ioctl(fd, UI_ABS_SETUP, &abs) < 0) return fail("UI_ABS_SETUP");
            }
        }
    }
    for (int code : kPostedKeys) {
        if (ioctl(fd, UI_SET_KEYBIT, code) < 0) return fail("UI_SET_KEYBIT");
    }
    for (unsigned prop = 0; prop <= INPUT_PROP_MAX; ++prop) {
        if (libevdev_has_property(source, prop)) ioctl(fd, UI_SET_PROPBIT, prop);
    }
    uinput_setup setup{};
    setup.id.bustype = kOwnBusType;
    setup.id.vendor = kOwnVendorId;
    setup.id.product = kOwnProductId;
    setup.id.version = 1;
    const char* sourceName = libevdev_get_name(source);
    std::string name = std::string("Sendhold ") + (sourceName ? sourceName : "keyboard");
    name.resize(std::min<std::size_t>(name.size(), UINPUT_MAX_NAME_SIZE - 1));
    std::memcpy(setup.name, name.data(), name.size());
    if (ioctl(fd, UI_DEV_SETUP, &setup) < 0) return fail("UI_DEV_SETUP");
    if (ioctl(fd, UI_DEV_CREATE) < 0) return fail("UI_DEV_CREATE");
    return true;
}

}  // namespace

std::unique_ptr<UinputDevice> UinputDevice::cloneOf(int fd, const libevdev* source,
                                                    std::string* error) {
    if (!declare(fd, source, error)) {
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<UinputDevice>(new UinputDevice(fd));
}

UinputDevice::~UinputDevice() {
    ioctl(fd_, UI_DEV_DESTROY);
    ::close(fd_);
}

void UinputDevice::writeFrame(std::span<const input_event> events) {
    if (events.empty()) return;
    std::vector<input_event> frame(events.begin(), events.end());
    input_event report{};
    report.type = EV_SYN;
    report.code = SYN_REPORT;
    frame.push_back(report);
    for (const input_event& event : events) {
        if (event.type != EV_KEY || event.code >= KEY_CNT) continue;
        held_.set(event.code, event.value != 0);
    }
    const char* data = reinterpret_cast<const char*>(frame.data());
    std::size_t left = frame.size() * sizeof(input_event);
    while (left > 0) {
        const ssize_t written = ::write(fd_, data, left);
        if (written < 0 && errno == EINTR) continue;
        // A failed write loses the frame; there is nobody to tell but the user,
        // who sees the key not arrive. Never retried in a loop.
        if (written <= 0) return;
        data += written;
        left -= static_cast<std::size_t>(written);
    }
}

void UinputDevice::writeKey(unsigned code, int value) {
    input_event event{};
    event.type = EV_KEY;
    event.code = static_cast<__u16>(code);
    event.value = value;
    writeFrame({&event, 1});
}

void UinputDevice::releaseAll() {
    for (unsigned code = 0; code < KEY_CNT; ++code) {
        if (held_.test(code)) writeKey(code, 0);
    }
}

std::vector<input_event> UinputDevice::readFeedback() {
    std::vector<input_event> feedback;
    std::array<input_event, 16> buffer{};
    for (;;) {
        const ssize_t got = ::read(fd_, buffer.data(), sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        const auto count = static_cast<std::size_t>(got) / sizeof(input_event);
        for (std::size_t i = 0; i < count; ++i) {
            if (buffer[i].type == EV_LED || buffer[i].type == EV_SND) {
                feedback.push_back(buffer[i]);
            }
        }
        if (count < buffer.size()) break;
    }
    return feedback;
}

}  // namespace sendhold
