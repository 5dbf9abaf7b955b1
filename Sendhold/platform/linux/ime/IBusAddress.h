#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace sendhold::ime {

using EnvironmentReader = std::function<const char*(const char*)>;

// The file in which ibus-daemon publishes its bus address, found the way IBus
// clients find it: IBUS_ADDRESS_FILE, else
// <config dir>/ibus/bus/<machine id>-<host>-<display number>, the display being
// WAYLAND_DISPLAY when set, else DISPLAY. Nothing without a home directory.
std::optional<std::string> ibusAddressFilePath(const EnvironmentReader& env,
                                               std::string_view machineId);

// The local machine id as IBus reads it: /var/lib/dbus/machine-id, else
// /etc/machine-id, else the same fallback IBus uses.
std::string ibusMachineId();

struct IBusAddressFile {
    std::string address;
    // 0 when the file names no process.
    long daemonPid = 0;
};

// Reads the IBUS_ADDRESS= and IBUS_DAEMON_PID= lines; comments and other lines
// are ignored. Nothing when there is no address.
std::optional<IBusAddressFile> parseIBusAddressFile(std::string_view contents);

// Reads the address file without ever blocking or reading much: only a
// regular file of at most 4 KiB counts (a FIFO or a device in its place does not).
std::optional<IBusAddressFile> readIBusAddressFile(const std::string& path);

// Whether the D-Bus address list names only unix sockets: every entry is
// "unix:" with exactly one of path= or abstract= (other keys, such as guid=,
// are allowed, as sd-bus allows them). One entry of any other transport
// rejects the whole list: unixexec: would run a program, tcp: would leave
// the machine.
bool isUnixSocketAddress(std::string_view address);

}  // namespace sendhold::ime
