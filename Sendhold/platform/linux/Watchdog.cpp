#include "Watchdog.h"

#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "TimeUnits.h"

namespace sendhold {

Watchdog::Entry::~Entry() {
    ::close(fd_);
}

void Watchdog::Entry::served() {
    lastServedNs_.store(nowNs(), std::memory_order_relaxed);
}

std::int64_t Watchdog::nowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return nanosecondsOf(now);
}

Watchdog::Watchdog(std::chrono::nanoseconds limit, std::function<void()> onTrip)
    : limitNs_(limit.count()),
      onTrip_(std::move(onTrip)),
      wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    thread_ = std::thread([this] { run(); });
}

Watchdog::~Watchdog() {
    stopping_ = true;
    wake();
    thread_.join();
    ::close(wakeFd_);
}

std::shared_ptr<Watchdog::Entry> Watchdog::watch(int fd) {
    const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) return nullptr;
    std::shared_ptr<Entry> entry(new Entry(copy));
    entry->served();
    {
        std::lock_guard lock(mutex_);
        entries_.push_back(entry);
    }
    wake();
    return entry;
}

void Watchdog::unwatch(const std::shared_ptr<Entry>& entry) {
    if (!entry) return;
    {
        std::lock_guard lock(mutex_);
        std::erase(entries_, entry);
    }
    wake();
}

void Watchdog::wake() {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(wakeFd_, &one, sizeof one);
}

// Sleeps until `untilNs` (or forever for -1) or a wake-up; false when stopping.
bool Watchdog::waitForWake(std::int64_t untilNs) {
    const std::int64_t left = untilNs < 0 ? -1 : std::max<std::int64_t>(0, untilNs - nowNs());
    pollfd wakeWait{wakeFd_, POLLIN, 0};
    const int timeoutMs = left < 0 ? -1 : static_cast<int>(millisecondsRoundedUp(left));
    if (poll(&wakeWait, 1, timeoutMs) > 0) {
        std::uint64_t count = 0;
        [[maybe_unused]] ssize_t got = ::read(wakeFd_, &count, sizeof count);
    }
    return !stopping_;
}

void Watchdog::run() {
    // Idle, the thread sleeps in poll() without a timeout: an idle keyboard
    // costs no wake-ups. Once input waits, it looks again every tenth of the
    // limit (ten wake-ups a second while the user types) until nothing waits
    // unread; input that waited the whole limit unread means the loop is stuck.
    const std::int64_t sliceNs = std::max<std::int64_t>(limitNs_ / 10, 1'000'000);
    bool watching = false;
    while (!stopping_) {
        std::vector<std::shared_ptr<Entry>> watched;
        {
            std::lock_guard lock(mutex_);
            watched = entries_;
        }
        std::vector<pollfd> fds;
        fds.push_back({wakeFd_, POLLIN, 0});
        for (const auto& entry : watched) fds.push_back({entry->fd_, POLLIN, 0});
        if (watching) {
            if (!waitForWake(nowNs() + sliceNs)) return;
            poll(fds.data(), fds.size(), 0);
        } else {
            if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) return;
            if (stopping_) return;
            if (fds[0].revents) waitForWake(0);
        }
        const std::int64_t now = nowNs();
        watching = false;
        bool stuck = false;
        for (std::size_t i = 1; i < fds.size(); ++i) {
            Entry& entry = *watched[i - 1];
            if (entry.waitingSinceNs_ >= 0 &&
                entry.lastServedNs_.load(std::memory_order_relaxed) >= entry.waitingSinceNs_) {
                entry.waitingSinceNs_ = -1;
            }
            // A vanished device (POLLHUP, POLLERR) also waits for the loop to notice.
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL))) {
                entry.waitingSinceNs_ = -1;
                continue;
            }
            if (entry.waitingSinceNs_ < 0) entry.waitingSinceNs_ = now;
            watching = true;
            if (now - entry.waitingSinceNs_ >= limitNs_) stuck = true;
        }
        if (!stuck) continue;
        std::lock_guard lock(mutex_);
        trip();
        watching = false;
    }
}

// Called with the mutex held.
void Watchdog::trip() {
    tripTimeNs_ = nowNs();
    for (const auto& entry : entries_) {
        ioctl(entry->fd_, EVIOCGRAB, 0);
        entry->letGo_ = true;
    }
    entries_.clear();
    tripped_ = true;
    if (onTrip_) onTrip_();
}

}  // namespace sendhold
