// The tap's path for one keyboard frame: read it, hand its key to the guard,
// write what passes to the twin. Measured on the fake kernel's socket pairs
// against a plain copier that moves the same frame between the same kind of
// sockets, so the ratio shows what the tap adds to the I/O itself.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/socket.h>
#include <systemd/sd-event.h>
#include <unistd.h>

#include <array>
#include <sstream>

#include "Diagnostics.h"
#include "FakeKernel.h"
#include "KeyboardManager/KeyboardManager.h"
#include "platform/linux/GuardHooks.h"
#include "platform/linux/LinuxKeyboardTap.h"
#include "platform/linux/SdEventMainLoop.h"

namespace sendhold {
namespace {

class NullTimer final : public Timer {
  public:
    void invalidate() override {}
};

class NullScheduler final : public TimerScheduler {
  public:
    std::shared_ptr<Timer> scheduleOneShot(double, std::function<void()>) override {
        return std::make_shared<NullTimer>();
    }
};

// Baseline: poll, read the frame, write it on; no decision at all.
void BM_PlainCopy(benchmark::State& state) {
    auto system = std::make_shared<fake::System>();
    auto device = system->add("/dev/input/event0", fake::keyboard());
    const int source = device->open();
    int sink[2];
    socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sink);
    std::array<input_event, 16> buffer{};
    int value = 1;
    for (auto _ : state) {
        device->key(KEY_A, value);
        value = 1 - value;
        pollfd ready{source, POLLIN, 0};
        poll(&ready, 1, -1);
        const ssize_t got = read(source, buffer.data(), sizeof buffer);
        benchmark::DoNotOptimize(write(sink[0], buffer.data(), static_cast<std::size_t>(got)));
        benchmark::DoNotOptimize(fake::drain(sink[1]));
    }
    close(source);
    close(sink[0]);
    close(sink[1]);
}
BENCHMARK(BM_PlainCopy);

// The tap on the sd-event loop with the real guard; an ordinary key, down and up.
void BM_TapFrame(benchmark::State& state) {
    auto system = std::make_shared<fake::System>();
    auto device = system->add("/dev/input/event0", fake::keyboard());
    std::ostringstream out;
    diagnosticStreams() = {&out, &out};
    KeyboardManager guard(KeyboardManagerSeams{.timers = std::make_shared<NullScheduler>()});
    GuardHooks hooks{
        [&](std::uint32_t type, KeyEvent* event) { return guard.handleEvent(type, event); },
        [&] { return guard.enterPressStartTime.has_value(); }, [&] { guard.resetEnterPress(); }};
    auto loop = std::make_shared<SdEventMainLoop>();
    auto tap = std::make_shared<LinuxKeyboardTap>(system, hooks, loop);
    guard.bindSeams(KeyboardManagerSeams{.poster = tap, .tap = tap});
    guard.startMonitoring();
    if (!system->uinput(0)) {
        state.SkipWithError("the keyboard was not taken");
        return;
    }
    const int twin = system->uinput(0)->testFd;
    int value = 1;
    for (auto _ : state) {
        device->key(KEY_A, value);
        value = 1 - value;
        // Pump until the frame came out of the twin.
        std::vector<input_event> written;
        while (written.empty()) {
            sd_event_run(loop->event(), 0);
            written = fake::drain(twin);
        }
        benchmark::DoNotOptimize(written);
    }
    tap->shutdown();
}
BENCHMARK(BM_TapFrame);

}  // namespace
}  // namespace sendhold

BENCHMARK_MAIN();
