#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "ControlProtocol.h"

namespace sendhold {

using ConnectionId = std::uint64_t;

// Who is at the other end of a connection, as the kernel saw it at connect().
struct Peer {
    std::uint32_t uid = 0;
    std::int32_t pid = 0;
};

// What the steering client asks of the guard.
struct SteeringState {
    bool guardOn = true;
    std::optional<double> storedDuration;
    control::Composition composition;
    // How many COMPOSITION lines have come in: a wait for the next one ends
    // when this changes.
    std::uint64_t compositionLines = 0;
    // When the last COMPOSITION line came in. The client tells when a key goes
    // to the input method, but not when that key is given up: a `pending`
    // older than pendingFreshSeconds no longer holds Return back.
    double compositionAt = 0;
};

inline constexpr double pendingFreshSeconds = 0.05;

// Where a client runs, as logind sees its process.
enum class PeerPlace {
    LocalSession,   // a local session of its own user on seat0
    UserManager,    // its user's systemd user manager (autostarted applications)
    RemoteSession,  // a remote session, such as SSH
    NoSession,      // none of its own: a system service, or somebody else's session
};

// Seat0's sessions as far as the hub needs them.
class ActiveSession {
  public:
    virtual ~ActiveSession() = default;
    // The uid that owns seat0's active session, when that session is local.
    virtual std::optional<std::uint32_t> activeLocalUid() = 0;
    virtual PeerPlace placeOf(const Peer& peer) = 0;
};

// What the hub's decisions do to the outside world.
class HubOutput {
  public:
    virtual ~HubOutput() = default;
    // Writes one whole line; false when it could not be written without
    // blocking (the hub then drops the connection).
    virtual bool send(ConnectionId id, std::string_view line) = 0;
    virtual void close(ConnectionId id) = 0;
    // One diagnostic line, without the "sendhold: " prefix.
    virtual void log(std::string_view line) = 0;
    // Somebody steers (again, or somebody else now): take the keyboards if
    // they are not taken and follow `state`. Answers why nothing is guarded,
    // or nothing when keyboards are taken.
    virtual std::optional<std::string> engage(const SteeringState& state) = 0;
    // The steering client changed its state.
    virtual void update(const SteeringState& state) = 0;
    // Nobody steers any more: let everything go.
    virtual void disengage() = 0;
};

// The service's decisions about its clients: who may connect, who steers the
// guard, and what each client is told. Time comes in as seconds on a steady
// clock, so that it is all deterministic.
class ControlHub {
  public:
    struct Limits {
        std::size_t maxConnections = 16;
        double helloTimeout = 2.0;
        double messagesPerSecond = 100;
        double burst = 64;
    };

    ControlHub(ActiveSession& session, HubOutput& output, Limits limits);
    ControlHub(ActiveSession& session, HubOutput& output) : ControlHub(session, output, Limits{}) {}

    // A new connection; refused at once when there are too many, unless it
    // comes from the active user and can take the place of somebody else's.
    void connected(ConnectionId id, Peer peer, double now);
    // Bytes read from a connection.
    void received(ConnectionId id, std::string_view bytes, double now);
    // The client hung up or its socket failed.
    void disconnected(ConnectionId id);
    // Seat0's active session may have changed.
    void sessionChanged();
    // Closes connections that sent no HELLO in time.
    void tick(double now);

    std::optional<ConnectionId> steering() const { return steering_; }
    const SteeringState* steeringState() const;
    // Whether Return going down now should wait for the steering client's next
    // COMPOSITION line: its last one said a key's outcome is on its way, and
    // said it less than pendingFreshSeconds ago.
    bool awaitsComposition(double now) const;
    std::size_t connectionCount() const { return connections_.size(); }

  private:
    struct Connection {
        Peer peer;
        double openedAt = 0;
        control::LineReader reader;
        double tokens = 0;
        double refilledAt = 0;
        bool authorized = false;
        std::uint64_t order = 0;  // when it was authorized; newer is larger
        SteeringState state;
        std::string lastStatus;
    };

    bool takeToken(Connection& connection, double now);
    // False when the connection was closed.
    bool handle(ConnectionId id, const control::ClientMessage& message, double now);
    bool hello(ConnectionId id, Connection& connection, unsigned version);
    void refuse(ConnectionId id, std::string_view reason);
    void drop(ConnectionId id, std::string_view why);
    void sendStatus(ConnectionId id, const control::Status& status);
    // Chooses who steers and tells every authorized client where it stands.
    void settle();

    ActiveSession& session_;
    HubOutput& output_;
    Limits limits_;
    std::map<ConnectionId, Connection> connections_;
    std::optional<std::uint32_t> activeUid_;
    std::optional<ConnectionId> steering_;
    bool engaged_ = false;
    std::uint64_t nextOrder_ = 1;
    bool settling_ = false;
    bool unsettled_ = false;
};

}  // namespace sendhold
