#include "ControlServer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>

#include "Diagnostics.h"
#include "platform/linux/SteadyClock.h"

namespace sendhold {
namespace {

double now() {
    static SteadyClock clock;
    return clock.now();
}

constexpr std::size_t readChunk = 512;

}  // namespace

ControlServer::ControlServer(std::shared_ptr<MainLoop> loop, int listenFd, ActiveSession& session,
                             GuardControl& guard)
    : loop_(std::move(loop)), listenFd_(listenFd), guard_(guard), hub_(session, *this) {
    listenWatch_ = loop_->watchReadable(listenFd_, [this] { acceptClients(); });
}

ControlServer::~ControlServer() {
    // Each watch goes before its descriptor is closed.
    listenWatch_.reset();
    for (auto& [id, client] : clients_) {
        client.watch.reset();
        ::close(client.fd);
    }
    ::close(listenFd_);
}

void ControlServer::acceptClients() {
    for (;;) {
        const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                warn(std::string("cannot accept a client: ") + std::strerror(errno));
            return;
        }
        ucred credentials{};
        socklen_t size = sizeof credentials;
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) {
            warn(std::string("client without credentials: ") + std::strerror(errno));
            ::close(fd);
            continue;
        }
        const ConnectionId id = nextId_++;
        Client& client = clients_[id];
        client.fd = fd;
        client.watch = loop_->watchReadable(fd, [this, id] { readFrom(id); });
        // A little after the deadline, so that the hub sees it has passed.
        client.helloDeadline = loop_->startTimer(ControlHub::Limits{}.helloTimeout + 0.01,
                                                 [this] { hub_.tick(now()); });
        hub_.connected(id, Peer{credentials.uid, credentials.pid}, now());
    }
}

bool ControlServer::readFrom(ConnectionId id) {
    auto found = clients_.find(id);
    if (found == clients_.end()) return false;
    char buffer[readChunk];
    const ssize_t size = recv(found->second.fd, buffer, sizeof buffer, 0);
    if (size < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return true;
    if (size <= 0) {
        hub_.disconnected(id);
        return false;
    }
    hub_.received(id, std::string_view(buffer, static_cast<std::size_t>(size)), now());
    return clients_.count(id) != 0;
}

bool ControlServer::steeringClientComposes(double wait) {
    const std::optional<ConnectionId> id = hub_.steering();
    const SteeringState* state = hub_.steeringState();
    if (!id || !state) return false;
    const std::uint64_t seen = state->compositionLines;
    const double deadline = now() + wait;
    while (state->composition.pending && state->compositionLines == seen) {
        const double left = deadline - now();
        if (left <= 0) break;
        pollfd ready{clients_.at(*id).fd, POLLIN, 0};
        const double whole = std::floor(left);
        const timespec timeout{static_cast<time_t>(whole),
                               static_cast<long>(std::ceil((left - whole) * 1e9)) % 1000000000};
        if (ppoll(&ready, 1, &timeout, nullptr) <= 0) break;
        if (!readFrom(*id) || hub_.steering() != id) break;
        state = hub_.steeringState();
    }
    state = hub_.steeringState();
    return state && state->composition.active;
}

bool ControlServer::send(ConnectionId id, std::string_view line) {
    auto found = clients_.find(id);
    if (found == clients_.end()) return false;
    // A line is short, so it goes out whole or not at all, unless the
    // client stopped reading: then it is dropped, never waited for.
    const ssize_t sent =
        ::send(found->second.fd, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    return sent == static_cast<ssize_t>(line.size());
}

void ControlServer::close(ConnectionId id) {
    auto found = clients_.find(id);
    if (found == clients_.end()) return;
    const int fd = found->second.fd;
    clients_.erase(found);
    ::close(fd);
}

void ControlServer::log(std::string_view line) {
    warn(line);
}

std::optional<std::string> ControlServer::engage(const SteeringState& state) {
    return guard_.engage(state);
}

void ControlServer::update(const SteeringState& state) {
    guard_.update(state);
}

void ControlServer::disengage() {
    guard_.disengage();
}

int openListenSocket(const std::optional<std::string>& path) {
    const int passed = sd_listen_fds(1);
    if (passed == 1 && sd_is_socket_unix(SD_LISTEN_FDS_START, SOCK_STREAM, 1, nullptr, 0) > 0) {
        const int fd = SD_LISTEN_FDS_START;
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        return fd;
    }
    if (passed > 0) warn("ignoring the sockets from systemd: expected one listening Unix socket");
    if (!path) {
        warn("no socket: give --listen PATH or SENDHOLD_SOCKET, or start through sendhold.socket");
        return -1;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path->empty() || path->size() >= sizeof address.sun_path) {
        warn("socket path too long or empty: " + *path);
        return -1;
    }
    std::memcpy(address.sun_path, path->c_str(), path->size());
    struct stat existing {};
    if (lstat(path->c_str(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode)) {
            warn(*path + " exists and is not a socket; leaving it alone");
            return -1;
        }
        unlink(path->c_str());
    }
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    // Everyone may connect: who may steer is decided by peer credentials.
    const mode_t mask = umask(0111);
    const bool bound =
        fd >= 0 && bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    umask(mask);
    if (!bound || listen(fd, 16) != 0) {
        warn("cannot listen on " + *path + ": " + std::strerror(errno));
        if (fd >= 0) ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace sendhold
