// sendholdd: the keyboard service. It alone holds the keyboards and uinput,
// runs the guard, and is steered over its control socket by the tray app of
// the user whose session is active on seat0.
#include <signal.h>
#include <systemd/sd-event.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "ControlServer.h"
#include "Diagnostics.h"
#include "ServiceGuard.h"
#include "SessionWatch.h"
#include "platform/linux/SdEventMainLoop.h"
#include "platform/linux/UdevInputSystem.h"

namespace {

constexpr double compositionWait = 0.008;

int onSignal(sd_event_source* source, const signalfd_siginfo*, void*) {
    return sd_event_exit(sd_event_source_get_event(source), 0);
}

// --listen PATH, else SENDHOLD_SOCKET; nothing when neither is given.
std::optional<std::string> socketPath(int argc, char** argv, bool& usage) {
    std::optional<std::string> path;
    if (const char* variable = std::getenv("SENDHOLD_SOCKET"); variable && *variable)
        path = variable;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--listen") == 0 && i + 1 < argc) {
            path = argv[++i];
        } else {
            usage = true;
        }
    }
    return path;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace sendhold;
    bool usage = false;
    const std::optional<std::string> path = socketPath(argc, argv, usage);
    if (usage) {
        warn("usage: sendholdd [--listen PATH]");
        return 2;
    }
    // sd-event delivers these through a signalfd once they are blocked.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);

    // Before sd_listen_fds() clears what tells a service started by systemd.
    std::optional<std::string> testSeat = SessionWatch::testSeatFromEnvironment();
    const int listenFd = openListenSocket(path);
    if (listenFd < 0) return 1;

    std::shared_ptr<SdEventMainLoop> loop;
    try {
        loop = std::make_shared<SdEventMainLoop>();
    } catch (const std::exception& error) {
        warn(std::string("cannot start the main loop: ") + error.what());
        return 1;
    }
    sd_event_add_signal(loop->event(), nullptr, SIGTERM, onSignal, nullptr);
    sd_event_add_signal(loop->event(), nullptr, SIGINT, onSignal, nullptr);

    SessionWatch session(std::move(testSeat));
    std::unique_ptr<ControlServer> server;
    ServiceGuard guard(loop, std::make_shared<UdevInputSystem>(),
                       [&server] { return server->steeringClientComposes(compositionWait); });
    server = std::make_unique<ControlServer>(loop, listenFd, session, guard);

    std::unique_ptr<MainLoop::Watch> sessionWatch;
    if (session.changeDescriptor() >= 0) {
        sessionWatch = loop->watchReadable(session.changeDescriptor(), [&] {
            session.flush();
            server->hub().sessionChanged();
        });
    }
    server->hub().sessionChanged();

    const int result = loop->run();
    // Let go of everything before the loop and the sockets go away.
    guard.letGo();
    sessionWatch.reset();
    server.reset();
    if (result < 0) {
        warn(std::string("main loop failed: ") + std::strerror(-result));
        return 1;
    }
    return 0;
}
