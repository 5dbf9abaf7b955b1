#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace sendhold {

// The one thread besides the main loop. It watches the taken keyboards and,
// when one of them has input waiting that the main loop has not read for the
// time limit, lets go of every grab, so that a hung Sendhold never leaves the
// user without a keyboard. The main loop learns of it through takeTrip().
class Watchdog {
  public:
    // A watched keyboard. The watchdog keeps its own duplicate of the
    // descriptor, so a keyboard the main loop closes can never turn into
    // another file under the watchdog's hands.
    class Entry {
      public:
        ~Entry();
        // The main loop calls this each time it reads the keyboard.
        void served();
        // Whether a trip let go of this keyboard's grab. A keyboard taken after a
        // trip has an entry of its own that the trip never touched.
        bool wasLetGo() const { return letGo_.load(); }

      private:
        friend class Watchdog;
        explicit Entry(int fd) : fd_(fd) {}
        int fd_;
        std::atomic<std::int64_t> lastServedNs_{0};
        std::atomic<bool> letGo_{false};
        // Since when input has been seen waiting unread; the watchdog thread's own.
        std::int64_t waitingSinceNs_ = -1;
    };

    // `onTrip` runs on the watchdog thread after the grabs are let go.
    Watchdog(std::chrono::nanoseconds limit, std::function<void()> onTrip);
    ~Watchdog();
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    // Starts watching a grabbed keyboard; nothing when the descriptor cannot be
    // duplicated (the keyboard then goes unwatched).
    std::shared_ptr<Entry> watch(int fd);
    void unwatch(const std::shared_ptr<Entry>& entry);

    // True once after each trip; the grabs of the entries it let go (wasLetGo())
    // are gone.
    bool takeTrip() { return tripped_.exchange(false); }
    bool tripped() const { return tripped_.load(); }
    // CLOCK_MONOTONIC time, in nanoseconds, just before the grabs were let go.
    std::int64_t tripTimeNs() const { return tripTimeNs_.load(); }

    static std::int64_t nowNs();

  private:
    void run();
    void wake();
    bool waitForWake(std::int64_t untilNs);
    void trip();

    const std::int64_t limitNs_;
    std::function<void()> onTrip_;
    int wakeFd_;
    std::mutex mutex_;
    std::vector<std::shared_ptr<Entry>> entries_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> tripped_{false};
    std::atomic<std::int64_t> tripTimeNs_{0};
    std::thread thread_;
};

}  // namespace sendhold
