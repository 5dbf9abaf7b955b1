#include "SessionWatch.h"

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
    if (testSeatDirectory_) return;
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
