#include "ControlHub.h"

#include <algorithm>
#include <vector>

namespace sendhold {

using namespace control;

namespace {

std::string describe(const Peer& peer) {
    return "uid " + std::to_string(peer.uid) + " (pid " + std::to_string(peer.pid) + ")";
}

}  // namespace

ControlHub::ControlHub(ActiveSession& session, HubOutput& output, Limits limits)
    : session_(session), output_(output), limits_(limits) {}

const SteeringState* ControlHub::steeringState() const {
    return steering_ ? &connections_.at(*steering_).state : nullptr;
}

void ControlHub::connected(ConnectionId id, Peer peer, double now) {
    if (connections_.size() >= limits_.maxConnections) {
        // Other users must not be able to lock the active user out by
        // holding every slot: a client of the active user takes the place
        // of the oldest client of anybody else.
        activeUid_ = session_.activeLocalUid();
        std::optional<ConnectionId> oldestStranger;
        for (const auto& [other, connection] : connections_) {
            if (connection.peer.uid != activeUid_) {
                oldestStranger = other;
                break;
            }
        }
        if (peer.uid == activeUid_ && oldestStranger) refuse(*oldestStranger, "too many clients");
    }
    if (connections_.size() >= limits_.maxConnections) {
        output_.send(id, encode(Refused{"too many clients"}));
        output_.log("refused " + describe(peer) + ": too many clients");
        output_.close(id);
        return;
    }
    Connection& connection = connections_[id];
    connection.peer = peer;
    connection.openedAt = now;
    connection.tokens = limits_.burst;
    connection.refilledAt = now;
}

void ControlHub::received(ConnectionId id, std::string_view bytes, double now) {
    auto found = connections_.find(id);
    if (found == connections_.end()) return;
    std::vector<std::string> lines;
    const bool fits = found->second.reader.feed(bytes, lines);
    for (const std::string& line : lines) {
        if (!takeToken(found->second, now)) return refuse(id, "too many messages");
        const ClientLine parsed = parseClientLine(line);
        if (const auto* error = std::get_if<LineError>(&parsed))
            return refuse(id,
                          *error == LineError::TooLong ? "message too long" : "malformed message");
        if (!handle(id, std::get<ClientMessage>(parsed), now)) return;
    }
    if (!fits) refuse(id, "message too long");
}

bool ControlHub::awaitsComposition(double now) const {
    const SteeringState* state = steeringState();
    return state && state->composition.pending && now - state->compositionAt < pendingFreshSeconds;
}

void ControlHub::disconnected(ConnectionId id) {
    drop(id, "disconnected");
}

void ControlHub::sessionChanged() {
    activeUid_ = session_.activeLocalUid();
    settle();
}

void ControlHub::tick(double now) {
    std::vector<ConnectionId> late;
    for (const auto& [id, connection] : connections_)
        if (!connection.authorized && now - connection.openedAt >= limits_.helloTimeout)
            late.push_back(id);
    for (ConnectionId id : late) drop(id, "no HELLO in time");
}

bool ControlHub::takeToken(Connection& connection, double now) {
    const double elapsed = std::max(0.0, now - connection.refilledAt);
    connection.tokens =
        std::min(limits_.burst, connection.tokens + elapsed * limits_.messagesPerSecond);
    connection.refilledAt = now;
    if (connection.tokens < 1) return false;
    connection.tokens -= 1;
    return true;
}

bool ControlHub::handle(ConnectionId id, const ClientMessage& message, double now) {
    Connection& connection = connections_.at(id);
    if (const auto* hello = std::get_if<Hello>(&message)) {
        if (!connection.authorized) return this->hello(id, connection, hello->version);
    }
    // Anything before HELLO, and a second HELLO, is out of place.
    if (!connection.authorized || std::holds_alternative<Hello>(message)) {
        refuse(id, "malformed message");
        return false;
    }
    SteeringState& state = connection.state;
    if (const auto* guard = std::get_if<Guard>(&message)) state.guardOn = guard->on;
    if (const auto* duration = std::get_if<Duration>(&message))
        state.storedDuration = duration->stored;
    if (const auto* composition = std::get_if<Composition>(&message)) {
        state.composition = *composition;
        ++state.compositionLines;
        state.compositionAt = now;
    }
    if (steering_ == id) output_.update(state);
    return true;
}

bool ControlHub::hello(ConnectionId id, Connection& connection, unsigned version) {
    if (version != protocolVersion) {
        refuse(id, "protocol version 1 expected");
        return false;
    }
    // A local user whose session is not in front waits on standby and steers
    // once it is; a client that can never be at the seat is turned away.
    switch (session_.placeOf(connection.peer)) {
        case PeerPlace::LocalSession:
        case PeerPlace::UserManager:
            break;
        case PeerPlace::RemoteSession:
            refuse(id, "a remote session");
            return false;
        case PeerPlace::NoSession:
            refuse(id, "not in a local session");
            return false;
    }
    activeUid_ = session_.activeLocalUid();
    connection.authorized = true;
    connection.order = nextOrder_++;
    settle();
    return connections_.count(id) != 0;
}

void ControlHub::refuse(ConnectionId id, std::string_view reason) {
    auto found = connections_.find(id);
    if (found == connections_.end()) return;
    output_.send(id, encode(Refused{std::string(reason)}));
    output_.log("refused " + describe(found->second.peer) + ": " + std::string(reason));
    output_.close(id);
    connections_.erase(found);
    settle();
}

void ControlHub::drop(ConnectionId id, std::string_view why) {
    auto found = connections_.find(id);
    if (found == connections_.end()) return;
    output_.log("closed " + describe(found->second.peer) + ": " + std::string(why));
    output_.close(id);
    connections_.erase(found);
    settle();
}

void ControlHub::sendStatus(ConnectionId id, const Status& status) {
    auto found = connections_.find(id);
    if (found == connections_.end()) return;
    std::string line = encode(status);
    if (line == found->second.lastStatus) return;
    found->second.lastStatus = line;
    if (!output_.send(id, line)) drop(id, "does not read what it is sent");
}

void ControlHub::settle() {
    // Dropping a client that does not read may change who steers; the loop
    // below then runs again instead of recursing.
    if (settling_) {
        unsettled_ = true;
        return;
    }
    settling_ = true;
    do {
        unsettled_ = false;
        std::optional<ConnectionId> chosen;
        std::uint64_t newest = 0;
        for (const auto& [id, connection] : connections_) {
            if (connection.authorized && connection.peer.uid == activeUid_ &&
                connection.order > newest) {
                chosen = id;
                newest = connection.order;
            }
        }
        if (chosen != steering_) {
            steering_ = chosen;
            if (chosen) {
                engaged_ = true;
                auto whyNot = output_.engage(connections_.at(*chosen).state);
                sendStatus(*chosen, whyNot ? Status{StatusKind::NoKeyboards, *whyNot}
                                           : Status{StatusKind::Guarding, {}});
            } else if (engaged_) {
                engaged_ = false;
                output_.disengage();
            }
        }
        std::vector<ConnectionId> others;
        for (const auto& [id, connection] : connections_)
            if (connection.authorized && id != steering_) others.push_back(id);
        for (ConnectionId id : others) {
            auto found = connections_.find(id);
            if (found == connections_.end()) continue;
            const bool sameUser = found->second.peer.uid == activeUid_;
            sendStatus(id, Status{StatusKind::Standby,
                                  sameUser ? "a newer client steers" : "not the active session"});
        }
    } while (unsettled_);
    settling_ = false;
}

}  // namespace sendhold
