// The guard sits in the path of every key event of the desktop; these measure
// its decision with inert seams, so only handleEvent's own cost is counted.
#include <benchmark/benchmark.h>

#include "KeyboardManager/KeyboardManager.h"

namespace sendhold {
namespace {

class FixedClock final : public Clock {
  public:
    double now() override { return t += 0.1; }
    double t = 0;
};

class NullTimer final : public Timer {
  public:
    void invalidate() override {}
};

class NullScheduler final : public TimerScheduler {
  public:
    std::shared_ptr<Timer> scheduleOneShot(double, std::function<void()>) override { return timer; }
    std::shared_ptr<Timer> timer = std::make_shared<NullTimer>();
};

class CountingPoster final : public EventPoster {
  public:
    void post(const PostedKeyEvent& e) override { benchmark::DoNotOptimize(count += e.keyCode); }
    std::int64_t count = 0;
};

KeyboardManagerSeams inertSeams() {
    return {.clock = std::make_shared<FixedClock>(),
            .timers = std::make_shared<NullScheduler>(),
            .poster = std::make_shared<CountingPoster>()};
}

void BM_OtherKey(benchmark::State& state) {
    KeyboardManager m(inertSeams());
    KeyEvent e{38, 0, 0};
    for (auto _ : state) {
        benchmark::DoNotOptimize(m.handleEvent(kEventTypeKeyDown, &e));
    }
}
BENCHMARK(BM_OtherKey);

void BM_ShortPress(benchmark::State& state) {
    KeyboardManager m(inertSeams());
    KeyEvent e{kKeyCodeReturn, 0, 0};
    for (auto _ : state) {
        benchmark::DoNotOptimize(m.handleEvent(kEventTypeKeyDown, &e));
        benchmark::DoNotOptimize(m.handleEvent(kEventTypeKeyUp, &e));
    }
}
BENCHMARK(BM_ShortPress);

}  // namespace
}  // namespace sendhold
