#include "ServiceLink.h"

#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <QTimer>
#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "Diagnostics.h"
#include "platform/linux/ProcessSignals.h"
#include "service/ControlProtocol.h"

namespace sendhold {
namespace {

constexpr int kMaxRetryMs = 5000;

// Everything up to the last slash ("/" for a name at the root); "" for a bare name.
std::string parentOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return {};
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string nameIn(const std::string& path) {
    return path.substr(path.find_last_of('/') + 1);
}

std::string connectProblem(int error, const std::string& path) {
    switch (error) {
        case ENOENT:
            return "the keyboard service is not installed (no " + path + ")";
        case ECONNREFUSED:
            return "the keyboard service is not running (" + path + " refuses connections)";
        default:
            return "cannot reach the keyboard service at " + path + " (" + std::strerror(error) +
                   ")";
    }
}

}  // namespace

std::string serviceSocketPath() {
    const char* path = std::getenv("SENDHOLD_SOCKET");
    return path && *path ? path : "/run/sendhold/control.sock";
}

ServiceLink::ServiceLink(std::string socketPath, SteeringSources sources)
    : path_(std::move(socketPath)), sources_(std::move(sources)) {}

ServiceLink::~ServiceLink() {
    disconnect();
    stopWatchingForSocket();
}

bool ServiceLink::connectNow(std::string* why) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path_.size() >= sizeof(address.sun_path)) {
        *why = "the keyboard service's socket path is too long: " + path_;
        return false;
    }
    std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *why = std::string("cannot make a socket (") + std::strerror(errno) + ")";
        return false;
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        // Not installed is not retried: nothing would come of it but wake-ups.
        notInstalled_ = errno == ENOENT;
        *why = connectProblem(errno, path_);
        ::close(fd);
        return false;
    }
    fd_ = fd;
    notInstalled_ = false;
    reader_ = {};
    sentGuard_.reset();
    sentDuration_.reset();
    sentComposition_.reset();
    if (!sendLine(control::encode(control::Hello{}))) {
        *why = "the keyboard service hung up";
        disconnect();
        return false;
    }
    pushState();
    return fd_ >= 0;
}

void ServiceLink::disconnect() {
    // The notifier goes later (deleteLater); it must not poll a closed descriptor.
    if (readable_) readable_->setEnabled(false);
    readable_.reset();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    guarding_ = false;
}

bool ServiceLink::sendLine(const std::string& line) {
    if (fd_ < 0) return false;
    // Lines are tiny and rare: a socket too full to take one means the service
    // is not reading, which is as good as gone.
    const ssize_t sent = ::send(fd_, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent == static_cast<ssize_t>(line.size())) return true;
    lost("the keyboard service stopped listening");
    return false;
}

void ServiceLink::pushState() {
    if (fd_ < 0) return;
    const auto sendIfChanged = [this](std::optional<std::string>& sent, std::string line) {
        if (sent == line) return true;
        if (!sendLine(line)) return false;
        sent = std::move(line);
        return true;
    };
    const bool guardOn = sources_.guardOn ? sources_.guardOn() : true;
    const std::optional<double> stored =
        sources_.storedDuration ? sources_.storedDuration() : std::nullopt;
    const bool composing = sources_.composing && sources_.composing();
    const bool pending = sources_.compositionPending && sources_.compositionPending();
    sendIfChanged(sentGuard_, control::encode(control::Guard{guardOn})) &&
        sendIfChanged(sentDuration_, control::encode(control::Duration{stored})) &&
        sendIfChanged(sentComposition_, control::encode(control::Composition{composing, pending}));
}

bool ServiceLink::create() {
    std::string why;
    if (!connectNow(&why)) {
        warn(why);
        return false;
    }
    // Once, at start-up: socket activation may have to start the service first.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kFirstAnswerWaitMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            warn("the keyboard service did not answer");
            disconnect();
            return false;
        }
        // A SIGTERM meanwhile is for the main loop to act on, now.
        pollfd fds[2] = {{fd_, POLLIN, 0}, {processSignalDescriptor(), POLLIN, 0}};
        if (::poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
        if (fds[1].revents & POLLIN) return false;
        char buffer[512];
        const ssize_t got = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) break;
        if (got < 0) continue;
        std::vector<std::string> lines;
        const bool readable = reader_.feed({buffer, static_cast<std::size_t>(got)}, lines);
        for (const std::string& line : lines) {
            const Answer answer = handleLine(line);
            if (answer == Answer::Guarding) return true;
            if (answer == Answer::Other) return false;
        }
        if (!readable) break;
    }
    warn("the keyboard service hung up");
    disconnect();
    return false;
}

void ServiceLink::enable() {
    if (enabled_) return;
    enabled_ = true;
    retry_.reset(new QTimer());
    retry_->setSingleShot(true);
    QObject::connect(retry_.get(), &QTimer::timeout, retry_.get(), [this] { reconnect(); });
    if (fd_ < 0) {
        scheduleReconnect();
        return;
    }
    watchConnection();
}

void ServiceLink::watchConnection() {
    readable_.reset(new QSocketNotifier(fd_, QSocketNotifier::Read));
    QObject::connect(readable_.get(), &QSocketNotifier::activated, readable_.get(),
                     [this] { readAvailable(); });
}

void ServiceLink::readAvailable() {
    char buffer[512];
    std::vector<std::string> lines;
    ssize_t got = 0;
    bool readable = true;
    while (readable && (got = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
        readable = reader_.feed({buffer, static_cast<std::size_t>(got)}, lines);
    const bool hungUp = got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR);
    // Lines that came before a hang-up (a refusal) are still told.
    for (const std::string& line : lines) {
        if (fd_ >= 0) handleLine(line);
    }
    if (!readable) return lost("the keyboard service sent something unreadable");
    if (hungUp) lost("the keyboard service went away; Return is not guarded until it is back");
}

ServiceLink::Answer ServiceLink::handleLine(const std::string& line) {
    const control::ServiceLine parsed = control::parseServiceLine(line);
    const auto* message = std::get_if<control::ServiceMessage>(&parsed);
    if (!message) {
        lost("the keyboard service sent something unreadable");
        return Answer::Other;
    }
    if (const auto* refusal = std::get_if<control::Refused>(message)) {
        // Only a full house passes; anything else would be refused again.
        refused_ = refusal->reason != "too many clients";
        warn("the keyboard service refused: " + refusal->reason);
        disconnect();
        return Answer::Other;
    }
    const auto& status = std::get<control::Status>(*message);
    const bool wasGuarding = guarding_;
    guarding_ = status.kind == control::StatusKind::Guarding;
    retryMs_ = 0;
    if (guarding_) {
        if (!wasGuarding && !lastStatus_.empty()) warn("the keyboard service guards again");
    } else if (line != lastStatus_) {
        warn(status.kind == control::StatusKind::NoKeyboards
                 ? "the keyboard service guards no keyboard: " + status.reason
                 : "the keyboard service is on standby: " + status.reason);
    }
    lastStatus_ = line;
    return guarding_ ? Answer::Guarding : Answer::Other;
}

void ServiceLink::lost(const std::string& why) {
    if (fd_ < 0) return;
    disconnect();
    warn(why);
    scheduleReconnect();
}

void ServiceLink::scheduleReconnect() {
    if (!enabled_ || refused_ || retry_->isActive()) return;
    if (notInstalled_) return watchForSocket();
    stopWatchingForSocket();
    retryMs_ = retryMs_ == 0 ? 100 : std::min(retryMs_ * 2, kMaxRetryMs);
    retry_->start(retryMs_);
}

void ServiceLink::reconnect() {
    std::string why;
    if (!connectNow(&why)) {
        scheduleReconnect();
        return;
    }
    stopWatchingForSocket();
    watchConnection();
}

void ServiceLink::watchForSocket() {
    stopWatchingForSocket();
    inotify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify_ < 0) {
        warn(std::string("cannot watch for the keyboard service's socket (") +
             std::strerror(errno) + ")");
        return;
    }
    // The socket's directory, or while that is missing too (removed with the
    // package), the one above it.
    std::string directory = parentOf(path_), awaited = nameIn(path_);
    if (directory.empty()) directory = ".";
    const std::uint32_t events = IN_CREATE | IN_MOVED_TO | IN_ONLYDIR;
    if (::inotify_add_watch(inotify_, directory.c_str(), events) < 0) {
        awaited = nameIn(directory);
        directory = parentOf(directory);
        if (directory.empty() || ::inotify_add_watch(inotify_, directory.c_str(), events) < 0) {
            warn("cannot watch " + directory + " for the keyboard service's socket");
            return stopWatchingForSocket();
        }
    }
    awaitedName_ = awaited;
    appeared_.reset(new QSocketNotifier(inotify_, QSocketNotifier::Read));
    QObject::connect(appeared_.get(), &QSocketNotifier::activated, appeared_.get(),
                     [this] { socketDirectoryChanged(); });
    // It may have come between the failed connect and the watch.
    struct stat status {};
    if (::lstat((directory + "/" + awaited).c_str(), &status) == 0) retry_->start(0);
}

void ServiceLink::socketDirectoryChanged() {
    alignas(inotify_event) char buffer[4096];
    bool awaited = false;
    for (ssize_t got; (got = ::read(inotify_, buffer, sizeof buffer)) > 0;) {
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            awaited = awaited || (event->len > 0 && awaitedName_ == event->name);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    if (awaited && !retry_->isActive()) retry_->start(0);
}

void ServiceLink::stopWatchingForSocket() {
    if (appeared_) appeared_->setEnabled(false);
    appeared_.reset();
    if (inotify_ >= 0) ::close(inotify_);
    inotify_ = -1;
}

}  // namespace sendhold
