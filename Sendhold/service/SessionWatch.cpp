#include "SessionWatch.h"

#include <dirent.h>
#include <fcntl.h>
#include <systemd/sd-login.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <map>

#include "Diagnostics.h"

namespace sendhold {
namespace {

// KEY=VALUE lines of a small regular file; empty when it cannot be read.
// Bounded, and never follows a symlink or blocks on a FIFO.
std::map<std::string, std::string> readKeyValues(const std::string& path) {
    std::map<std::string, std::string> values;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return values;
    char buffer[4096];
    const ssize_t size = read(fd, buffer, sizeof buffer);
    close(fd);
    std::string_view text(buffer, size > 0 ? static_cast<std::size_t>(size) : 0);
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        const std::string_view line = text.substr(0, end);
        if (const std::size_t equals = line.find('='); equals != std::string_view::npos)
            values[std::string(line.substr(0, equals))] = std::string(line.substr(equals + 1));
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return values;
}

}  // namespace

SessionWatch::SessionWatch(std::optional<std::string> testSeatDirectory)
    : testSeatDirectory_(std::move(testSeatDirectory)) {
    // Also for a test seat: one kept where logind keeps its own is watched alike.
    if (int r = sd_login_monitor_new("session", &monitor_); r < 0) {
        monitor_ = nullptr;
        warn(std::string("cannot watch for session changes: ") + std::strerror(-r));
    }
}

SessionWatch::~SessionWatch() {
    if (monitor_) sd_login_monitor_unref(monitor_);
}

std::optional<std::string> SessionWatch::testSeatFromEnvironment() {
    const char* directory = std::getenv("SENDHOLD_TEST_SEAT_DIR");
    if (!directory || !*directory) return std::nullopt;
    for (const char* systemdVariable : {"INVOCATION_ID", "LISTEN_PID", "NOTIFY_SOCKET"}) {
        if (std::getenv(systemdVariable)) {
            warn("SENDHOLD_TEST_SEAT_DIR ignored: started by systemd");
            return std::nullopt;
        }
    }
    warn(std::string("test seat from ") + directory + ", not logind");
    return std::string(directory);
}

std::optional<std::uint32_t> SessionWatch::activeLocalUid() {
    if (testSeatDirectory_) return activeLocalUidFromFiles();
    char* session = nullptr;
    uid_t uid = 0;
    if (sd_seat_get_active("seat0", &session, &uid) < 0) return std::nullopt;
    // 1 for remote, negative when unknown: only a known local session counts.
    const int remote = sd_session_is_remote(session);
    std::free(session);
    if (remote != 0) return std::nullopt;
    return uid;
}

PeerPlace SessionWatch::placeOf(const Peer& peer) {
    if (testSeatDirectory_) return placeFromFiles(peer.uid);
    // pid 0 would ask about this process itself.
    if (peer.pid <= 0) return PeerPlace::NoSession;
    char* session = nullptr;
    if (sd_pid_get_session(peer.pid, &session) >= 0) {
        uid_t owner = 0;
        char* seat = nullptr;
        const bool own = sd_session_get_uid(session, &owner) >= 0 && owner == peer.uid;
        const int remote = sd_session_is_remote(session);
        const bool onSeat0 =
            sd_session_get_seat(session, &seat) >= 0 && std::strcmp(seat, "seat0") == 0;
        std::free(seat);
        std::free(session);
        // A process of another user inside somebody's session (su, setpriv
        // from a root shell) is not that session's.
        if (!own) return PeerPlace::NoSession;
        if (remote > 0) return PeerPlace::RemoteSession;
        return remote == 0 && onSeat0 ? PeerPlace::LocalSession : PeerPlace::NoSession;
    }
    // Not in a session: its user's own service manager, or a system service.
    char* unit = nullptr;
    uid_t owner = 0;
    const bool userUnit = sd_pid_get_user_unit(peer.pid, &unit) >= 0;
    std::free(unit);
    if (userUnit && sd_pid_get_owner_uid(peer.pid, &owner) >= 0 && owner == peer.uid)
        return PeerPlace::UserManager;
    return PeerPlace::NoSession;
}

PeerPlace SessionWatch::placeFromFiles(std::uint32_t uid) const {
    const std::string directory = *testSeatDirectory_ + "/sessions";
    DIR* sessions = opendir(directory.c_str());
    if (!sessions) return PeerPlace::NoSession;
    PeerPlace place = PeerPlace::NoSession;
    while (const dirent* entry = readdir(sessions)) {
        if (entry->d_name[0] == '.') continue;
        auto values = readKeyValues(directory + "/" + entry->d_name);
        if (values["UID"] != std::to_string(uid)) continue;
        if (values["REMOTE"] == "0" && values["SEAT"] == "seat0") {
            place = PeerPlace::LocalSession;
            break;
        }
        if (values["REMOTE"] == "1") place = PeerPlace::RemoteSession;
    }
    closedir(sessions);
    return place;
}

std::optional<std::uint32_t> SessionWatch::activeLocalUidFromFiles() const {
    auto seat = readKeyValues(*testSeatDirectory_ + "/seats/seat0");
    const std::string& session = seat["ACTIVE"];
    const std::string& uidText = seat["ACTIVE_UID"];
    if (session.empty() || session.find('/') != std::string::npos || session[0] == '.')
        return std::nullopt;
    if (readKeyValues(*testSeatDirectory_ + "/sessions/" + session)["REMOTE"] != "0")
        return std::nullopt;
    std::uint32_t uid = 0;
    auto [end, error] = std::from_chars(uidText.data(), uidText.data() + uidText.size(), uid);
    if (error != std::errc() || end != uidText.data() + uidText.size()) return std::nullopt;
    return uid;
}

int SessionWatch::changeDescriptor() const {
    return monitor_ ? sd_login_monitor_get_fd(monitor_) : -1;
}

void SessionWatch::flush() {
    if (monitor_) sd_login_monitor_flush(monitor_);
}

}  // namespace sendhold
