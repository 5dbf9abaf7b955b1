#include "EventReader.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace vmtest {

std::vector<std::pair<int, int>> Frame::keys() const {
    std::vector<std::pair<int, int>> result;
    for (const input_event& e : events) {
        if (e.type == EV_KEY) result.emplace_back(e.code, e.value);
    }
    return result;
}

int Frame::scanCode() const {
    for (const input_event& e : events) {
        if (e.type == EV_MSC && e.code == MSC_SCAN) return e.value;
    }
    return -1;
}

bool Frame::onlyRepeats() const {
    bool any = false;
    for (const input_event& e : events) {
        if (e.type == EV_KEY && e.value != 2) return false;
        if (e.type != EV_KEY && e.type != EV_MSC) return false;
        any = any || e.type == EV_KEY;
    }
    return any;
}

EventReader::EventReader(const std::string& node) : node_(node) {
    fd_ = open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) throw std::runtime_error("open " + node + ": " + std::strerror(errno));
}

EventReader::~EventReader() {
    if (fd_ >= 0) close(fd_);
}

bool EventReader::next(Frame& frame, milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!gone_) {
        input_event e;
        ssize_t n = read(fd_, &e, sizeof e);
        if (n == static_cast<ssize_t>(sizeof e)) {
            if (e.type == EV_SYN && e.code == SYN_REPORT) {
                frame.events = std::move(partial_);
                frame.readAt = Clock::now();
                partial_.clear();
                return true;
            }
            partial_.push_back(e);
            continue;
        }
        if (n < 0 && errno == ENODEV) {
            gone_ = true;
            break;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            throw std::runtime_error("read " + node_ + ": " + std::strerror(errno));
        }
        auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) > 0 && (p.revents & (POLLHUP | POLLERR))) {
            gone_ = true;
        }
    }
    return false;
}

std::vector<Frame> EventReader::collect(milliseconds duration) {
    std::vector<Frame> frames;
    const auto deadline = Clock::now() + duration;
    Frame frame;
    while (true) {
        auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || !next(frame, left)) break;
        frames.push_back(frame);
    }
    return frames;
}

std::vector<Frame> EventReader::until(int code, int value, milliseconds timeout) {
    std::vector<Frame> frames;
    const auto deadline = Clock::now() + timeout;
    Frame frame;
    while (true) {
        auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || !next(frame, left)) break;
        frames.push_back(frame);
        for (auto [c, v] : frame.keys()) {
            if (c == code && v == value) return frames;
        }
    }
    return frames;
}

std::set<int> EventReader::keysDown() const {
    unsigned char bits[KEY_MAX / 8 + 1] = {};
    std::set<int> held;
    if (ioctl(fd_, EVIOCGKEY(sizeof bits), bits) < 0) return held;
    for (int code = 0; code <= KEY_MAX; ++code) {
        if (bits[code / 8] & (1 << (code % 8))) held.insert(code);
    }
    return held;
}

bool EventReader::canGrab() const {
    if (ioctl(fd_, EVIOCGRAB, 1) != 0) return false;
    ioctl(fd_, EVIOCGRAB, 0);
    return true;
}

std::vector<std::pair<int, int>> keyEvents(const std::vector<Frame>& frames) {
    std::vector<std::pair<int, int>> result;
    for (const Frame& frame : frames) {
        for (auto key : frame.keys()) {
            if (key.second != 2) result.push_back(key);
        }
    }
    return result;
}

std::string describe(const std::vector<std::pair<int, int>>& keys) {
    std::string text;
    for (auto [code, value] : keys) {
        if (!text.empty()) text += ", ";
        text += std::to_string(code) + (value == 1 ? " down" : value == 0 ? " up" : " repeat");
    }
    return text.empty() ? "nothing" : text;
}

}  // namespace vmtest

namespace vmtest {

ContinuousReader::ContinuousReader(const std::string& node) : reader_(node) {
    thread_ = std::thread([this] {
        Frame frame;
        while (!stop_ && !reader_.gone()) {
            if (reader_.next(frame, milliseconds(20))) {
                std::lock_guard lock(mutex_);
                frames_.push_back(frame);
            }
        }
    });
}

ContinuousReader::~ContinuousReader() {
    stop_ = true;
    thread_.join();
}

std::vector<Frame> ContinuousReader::frames() const {
    std::lock_guard lock(mutex_);
    return frames_;
}

bool ContinuousReader::waitFor(int code, int value, milliseconds timeout) const {
    const auto deadline = Clock::now() + timeout;
    do {
        for (auto key : keyEvents(frames())) {
            if (key == std::make_pair(code, value)) return true;
        }
        std::this_thread::sleep_for(milliseconds(10));
    } while (Clock::now() < deadline);
    return false;
}

}  // namespace vmtest
