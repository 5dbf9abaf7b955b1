#include "IBusAddress.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <fstream>
#include <sstream>

namespace sendhold::ime {

namespace {
std::string firstLineOf(const char* file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.back() == '\r' || s.back() == ' ' || s.back() == '\t')) {
        s.remove_suffix(1);
    }
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    return s;
}
}  // namespace

std::optional<std::string> ibusAddressFilePath(const EnvironmentReader& env,
                                               std::string_view machineId) {
    if (const char* file = env("IBUS_ADDRESS_FILE"); file && *file) return std::string(file);

    std::string configDir;
    if (const char* xdg = env("XDG_CONFIG_HOME"); xdg && *xdg) {
        configDir = xdg;
    } else if (const char* home = env("HOME"); home && *home) {
        configDir = std::string(home) + "/.config";
    } else {
        return std::nullopt;
    }

    const char* display = env("WAYLAND_DISPLAY");
    if (!display || !*display) display = env("DISPLAY");
    std::string_view rest = display ? display : "";
    // "host:number.screen"; the screen is not part of the name.
    std::string host;
    std::string number = "0";
    if (display) {
        const auto colon = rest.find(':');
        host = std::string(rest.substr(0, colon));
        if (colon != std::string_view::npos) {
            std::string_view n = rest.substr(colon + 1);
            number = std::string(n.substr(0, n.find('.')));
        }
    }
    if (host.empty()) host = "unix";
    return configDir + "/ibus/bus/" + std::string(machineId) + "-" + host + "-" + number;
}

std::string ibusMachineId() {
    for (const char* file : {"/var/lib/dbus/machine-id", "/etc/machine-id"}) {
        const std::string id(trimmed(firstLineOf(file)));
        if (!id.empty()) return id;
    }
    return "machine-id";
}

std::optional<IBusAddressFile> parseIBusAddressFile(std::string_view contents) {
    IBusAddressFile result;
    std::istringstream in{std::string(contents)};
    std::string line;
    while (std::getline(in, line)) {
        const std::string_view l = trimmed(line);
        if (l.starts_with("IBUS_ADDRESS=")) {
            result.address = std::string(l.substr(13));
        } else if (l.starts_with("IBUS_DAEMON_PID=")) {
            const std::string_view digits = l.substr(16);
            long pid = 0;
            const auto [end, ec] =
                std::from_chars(digits.data(), digits.data() + digits.size(), pid);
            if (ec == std::errc() && end == digits.data() + digits.size() && pid > 0) {
                result.daemonPid = pid;
            }
        }
    }
    if (result.address.empty()) return std::nullopt;
    return result;
}

std::optional<IBusAddressFile> readIBusAddressFile(const std::string& path) {
    constexpr std::size_t kMaxSize = 4096;
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    struct stat info {};
    std::string contents;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
        static_cast<std::size_t>(info.st_size) <= kMaxSize) {
        contents.resize(kMaxSize);
        const ssize_t n = read(fd, contents.data(), kMaxSize);
        contents.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    }
    close(fd);
    return parseIBusAddressFile(contents);
}

bool isUnixSocketAddress(std::string_view address) {
    bool any = false;
    while (!address.empty()) {
        const auto end = address.find(';');
        std::string_view entry = address.substr(0, end);
        address = end == std::string_view::npos ? std::string_view() : address.substr(end + 1);
        if (entry.empty()) continue;
        const auto colon = entry.find(':');
        if (colon == std::string_view::npos || entry.substr(0, colon) != "unix") return false;
        entry.remove_prefix(colon + 1);
        int sockets = 0;
        while (!entry.empty()) {
            const auto comma = entry.find(',');
            const std::string_view pair = entry.substr(0, comma);
            entry = comma == std::string_view::npos ? std::string_view() : entry.substr(comma + 1);
            const auto equals = pair.find('=');
            if (equals == std::string_view::npos || equals == 0 || equals + 1 == pair.size()) {
                return false;
            }
            const std::string_view key = pair.substr(0, equals);
            if (key == "path" || key == "abstract") ++sockets;
        }
        if (sockets != 1) return false;
        any = true;
    }
    return any;
}

}  // namespace sendhold::ime
