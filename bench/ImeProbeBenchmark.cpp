// What a Return decision pays for the composition state: in one process, the
// guard asks the probe; with the keyboard service, the service reads the state
// its client last told it. Run it inside a session bus (dbus-run-session) so
// that the probe holds a live connection, as it does on a desktop; every
// figure is best read against BM_ReadBool, a plain memory read measured in the
// same run.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <systemd/sd-event.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <chrono>
#include <memory>

#include "platform/linux/SdEventMainLoop.h"
#include "platform/linux/ime/ContextTracker.h"
#include "platform/linux/ime/ImeCompositionProbe.h"
#include "service/ControlServer.h"

namespace sendhold::ime {
namespace {

std::unique_ptr<ImeCompositionProbe> probe;

// Focused context with a composition under way.
void compose(ContextTracker& t) {
    t.focusIn("/ctx/1", ":1.5");
    t.preeditChanged("/ctx/1", ":1.5", true, true);
}

void BM_ReadBool(benchmark::State& state) {
    bool value = true;
    for (auto _ : state) {
        benchmark::DoNotOptimize(value);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_ReadBool);

// One zero-timeout poll of an idle socket: the cost of a system call here,
// which hasMarkedText() pays once to see whether anything new has arrived.
void BM_PollIdleSocket(benchmark::State& state) {
    int fds[2];
    socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
    pollfd p{fds[0], POLLIN, 0};
    const timespec zero{0, 0};
    for (auto _ : state) benchmark::DoNotOptimize(ppoll(&p, 1, &zero, nullptr));
    close(fds[0]);
    close(fds[1]);
}
BENCHMARK(BM_PollIdleSocket);

// The kept answer alone.
void BM_KeptAnswer(benchmark::State& state) {
    ContextTracker t;
    compose(t);
    for (auto _ : state) benchmark::DoNotOptimize(t.composing());
}
BENCHMARK(BM_KeptAnswer);

// hasMarkedText() as the guard calls it: reads what already arrived (nothing)
// and answers; no key outstanding.
void BM_HasMarkedText(benchmark::State& state) {
    compose(probe->fcitxTracker());
    for (auto _ : state) benchmark::DoNotOptimize(probe->hasMarkedText());
    state.SetLabel(probe->fcitxTracker().composing() ? "composing" : "idle");
}
BENCHMARK(BM_HasMarkedText);

// A key went to the input method and its outcome never comes: the question
// waits for the full bound, then answers from what it knows.
void BM_WaitBound(benchmark::State& state) {
    std::uint32_t serial = 1;
    for (auto _ : state) {
        probe->fcitxTracker().keySent("/ctx/1", ":1.5", serial++, std::chrono::steady_clock::now());
        benchmark::DoNotOptimize(probe->hasMarkedText());
    }
}
BENCHMARK(BM_WaitBound)->Unit(benchmark::kMillisecond)->Iterations(50);

// The keyboard service's side: a server with one steering client, on its own
// sd-event loop.
struct ServiceSide : ActiveSession, GuardControl {
    std::optional<std::uint32_t> activeLocalUid() override { return getuid(); }
    PeerPlace placeOf(const Peer&) override { return PeerPlace::LocalSession; }
    std::optional<std::string> engage(const SteeringState&) override { return std::nullopt; }
    void update(const SteeringState&) override {}
    void disengage() override {}

    std::shared_ptr<SdEventMainLoop> loop = std::make_shared<SdEventMainLoop>();
    std::string path = "/tmp/sendhold-bench-" + std::to_string(getpid()) + ".sock";
    std::unique_ptr<ControlServer> server;
    int client = -1;

    ServiceSide() {
        server = std::make_unique<ControlServer>(loop, openListenSocket(path), *this, *this);
        client = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        path.copy(a.sun_path, sizeof a.sun_path - 1);
        connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a);
        tell("HELLO 1\nCOMPOSITION active\n");
    }
    ~ServiceSide() override {
        close(client);
        server.reset();
        unlink(path.c_str());
    }
    // Sends lines and lets the loop read them.
    void tell(const std::string& lines) {
        send(client, lines.data(), lines.size(), 0);
        for (int i = 0; i < 20; ++i) sd_event_run(loop->event(), 1000);
    }
};

// The common case: nothing pending, the held state answers.
void BM_ServiceHeldState(benchmark::State& state) {
    ServiceSide side;
    for (auto _ : state) benchmark::DoNotOptimize(side.server->steeringClientComposes(0.008));
    state.SetLabel(side.server->steeringClientComposes(0) ? "composing" : "idle");
}
BENCHMARK(BM_ServiceHeldState);

// A key's outcome is pending and the client's answer is already on its way:
// the service reads that one line from the client's socket.
void BM_ServicePendingAnswered(benchmark::State& state) {
    ServiceSide side;
    for (auto _ : state) {
        state.PauseTiming();
        side.tell("COMPOSITION active pending\n");
        const std::string answer = "COMPOSITION active\n";
        send(side.client, answer.data(), answer.size(), 0);
        state.ResumeTiming();
        benchmark::DoNotOptimize(side.server->steeringClientComposes(0.008));
    }
}
BENCHMARK(BM_ServicePendingAnswered)->Iterations(2000);

}  // namespace
}  // namespace sendhold::ime

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    sendhold::ime::probe = std::make_unique<sendhold::ime::ImeCompositionProbe>();
    // Let the connections come up.
    QElapsedTimer started;
    started.start();
    while (started.elapsed() < 300) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    sendhold::ime::probe.reset();
    return 0;
}
