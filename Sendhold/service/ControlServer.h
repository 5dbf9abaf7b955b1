#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "ControlHub.h"
#include "platform/linux/MainLoop.h"

namespace sendhold {

// What the hub's decisions do to the keyboards.
class GuardControl {
  public:
    virtual ~GuardControl() = default;
    virtual std::optional<std::string> engage(const SteeringState& state) = 0;
    virtual void update(const SteeringState& state) = 0;
    virtual void disengage() = 0;
};

// The control socket on the main loop: accepts clients, reads their lines into
// the hub and writes its answers. Nothing here ever blocks: reads are bounded,
// and a client whose socket buffer is full is dropped rather than waited for.
class ControlServer final : private HubOutput {
  public:
    // Takes ownership of `listenFd`, a listening Unix stream socket.
    ControlServer(std::shared_ptr<MainLoop> loop, int listenFd, ActiveSession& session,
                  GuardControl& guard);
    ~ControlServer() override;
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    ControlHub& hub() { return hub_; }

    // Whether the steering client's input method is composing. While its
    // state is pending, waits up to `wait` seconds for its next COMPOSITION
    // line, reading only that client's socket.
    bool steeringClientComposes(double wait);

  private:
    struct Client {
        int fd = -1;
        std::unique_ptr<MainLoop::Watch> watch;
        std::unique_ptr<MainLoop::Source> helloDeadline;
    };

    void acceptClients();
    // One bounded read; false when the client is gone.
    bool readFrom(ConnectionId id);

    bool send(ConnectionId id, std::string_view line) override;
    void close(ConnectionId id) override;
    void log(std::string_view line) override;
    std::optional<std::string> engage(const SteeringState& state) override;
    void update(const SteeringState& state) override;
    void disengage() override;

    std::shared_ptr<MainLoop> loop_;
    int listenFd_;
    GuardControl& guard_;
    ControlHub hub_;
    std::unique_ptr<MainLoop::Watch> listenWatch_;
    std::map<ConnectionId, Client> clients_;
    ConnectionId nextId_ = 1;
};

// The listening socket: fd 3 from systemd's socket activation, or else one
// bound at `path` (a stale socket there is replaced; any other file is left
// alone and is an error). Returns -1 after one line on standard error.
int openListenSocket(const std::optional<std::string>& path);

}  // namespace sendhold
