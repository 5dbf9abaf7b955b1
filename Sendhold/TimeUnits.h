#pragma once

#include <time.h>

#include <chrono>
#include <cmath>
#include <cstdint>

namespace sendhold {

// Seconds given as a double (settings, options) as a chrono duration, rounded
// to the nearest tick. Negative and non-finite values become zero; values past
// what the duration can hold become its maximum.
template <typename Duration>
Duration durationFromSeconds(double seconds) {
    if (!std::isfinite(seconds) || seconds <= 0) return Duration::zero();
    const double ticks = seconds * Duration::period::den / Duration::period::num;
    if (ticks >= static_cast<double>(Duration::max().count())) return Duration::max();
    return Duration(static_cast<typename Duration::rep>(std::llround(ticks)));
}

// A kernel timestamp in nanoseconds.
inline std::int64_t nanosecondsOf(std::int64_t seconds, std::int64_t subsecond,
                                  std::int64_t subsecondsPerSecond) {
    return seconds * 1'000'000'000 + subsecond * (1'000'000'000 / subsecondsPerSecond);
}
inline std::int64_t nanosecondsOf(const timespec& time) {
    return nanosecondsOf(time.tv_sec, time.tv_nsec, 1'000'000'000);
}

// Nanoseconds as whole milliseconds, rounded up so that a wait never ends early.
inline std::int64_t millisecondsRoundedUp(std::int64_t nanoseconds) {
    return (nanoseconds + 999'999) / 1'000'000;
}

}  // namespace sendhold
