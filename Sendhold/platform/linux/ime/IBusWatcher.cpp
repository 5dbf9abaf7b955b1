#include "IBusWatcher.h"

#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>

#include "Diagnostics.h"
#include "IBusAddress.h"

namespace sendhold::ime {

namespace {
const char* const kMatchRules[] = {
    // eavesdrop= lets the same rules work on a plain dbus-daemon standing in
    // for ibus-daemon, which itself delivers such messages without it.
    "type='signal',interface='org.freedesktop.IBus.InputContext',eavesdrop='true'",
    "type='method_call',interface='org.freedesktop.IBus.InputContext',eavesdrop='true'",
    "type='method_call',interface='org.freedesktop.IBus.Panel',eavesdrop='true'",
    "type='method_call',interface='org.freedesktop.DBus.Properties',member='Get',eavesdrop='true'",
    "type='method_return',eavesdrop='true'",
    "type='error',eavesdrop='true'",
    "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
    "member='NameOwnerChanged'",
};

// The daemon's address as its clients would pick it, when a daemon runs.
std::optional<std::string> daemonAddress(const std::string& addressFile) {
    if (const char* address = std::getenv("IBUS_ADDRESS"); address && *address) return address;
    if (addressFile.empty()) return std::nullopt;
    const auto parsed = readIBusAddressFile(addressFile);
    if (!parsed) return std::nullopt;
    // A file left behind by a daemon that is gone.
    if (parsed->daemonPid > 0 && kill(static_cast<pid_t>(parsed->daemonPid), 0) != 0 &&
        errno == ESRCH) {
        return std::nullopt;
    }
    return parsed->address;
}
}  // namespace

IBusWatcher::IBusWatcher() {
    addressFile_ =
        ibusAddressFilePath([](const char* name) { return std::getenv(name); }, ibusMachineId())
            .value_or(std::string());
    // With IBUS_ADDRESS set the file does not matter, but a restarted daemon
    // still rewrites it: it is the only notice of one.
    if (!addressFile_.empty())
        fileWatch_ = std::make_unique<PathWatch>(addressFile_, [this] { tryConnect(); });
    tryConnect();
}

IBusWatcher::~IBusWatcher() = default;

void IBusWatcher::tryConnect() {
    const auto address = daemonAddress(addressFile_);
    if (connection_) {
        // A rewritten file naming another address means a new daemon.
        if (connection_->isOpen() && (!address || *address == connectedAddress_)) return;
        onClosed();
    }
    if (!address) return;
    if (!isUnixSocketAddress(*address)) {
        // Said once per address: every change to the file comes back here.
        if (*address != refusedAddress_) {
            warn("ignoring an IBus address that is not a unix socket");
        }
        refusedAddress_ = *address;
        return;
    }

    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0) return;
    sd_bus_set_description(bus, "sendhold-ibus");
    if (sd_bus_set_address(bus, address->c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
        sd_bus_start(bus) < 0) {
        sd_bus_unref(bus);
        return;
    }
    // The daemon's name and focus queries go out before the match rules:
    // their answers come before any watched traffic, so no other client's
    // reply can be taken for them.
    sd_bus_call_method_async(bus, nullptr, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                             "org.freedesktop.DBus", "GetNameOwner", &IBusWatcher::onDaemonName,
                             this, "s", kIBusService);
    sd_bus_call_method_async(bus, nullptr, "org.freedesktop.IBus", "/org/freedesktop/IBus",
                             "org.freedesktop.IBus", "CurrentInputContext",
                             &IBusWatcher::onCurrentInputContext, this, "");
    for (const char* rule : kMatchRules) {
        // No answer wanted: nothing could be done about a refused rule.
        sd_bus_call_method_async(bus, nullptr, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                 "org.freedesktop.DBus", "AddMatch", nullptr, nullptr, "s", rule);
    }
    tracker_.clear();
    handler_.reset();
    focusAnswered_ = false;
    connectedAddress_ = *address;
    connection_ = std::make_unique<BusConnection>(
        bus, [this](sd_bus_message* m) { handler_.handle(m, std::chrono::steady_clock::now()); },
        [this](BusConnection* which) { onClosed(which); });
}

void IBusWatcher::onClosed(BusConnection* which) {
    if (which && which != connection_.get()) return;
    tracker_.clear();
    handler_.reset();
    connectedAddress_.clear();
    if (connection_) {
        connection_->detach();
        connection_.release()->deleteLater();
    }
}

int IBusWatcher::onDaemonName(sd_bus_message* m, void* userdata, sd_bus_error*) {
    const char* owner = nullptr;
    if (!sd_bus_message_is_method_error(m, nullptr) && sd_bus_message_read(m, "s", &owner) >= 0) {
        static_cast<IBusWatcher*>(userdata)->handler_.daemonIs(owner);
    }
    return 1;
}

int IBusWatcher::onCurrentInputContext(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<IBusWatcher*>(userdata);
    self->focusAnswered_ = true;
    const char* path = nullptr;
    if (!sd_bus_message_is_method_error(m, nullptr) && sd_bus_message_read(m, "o", &path) >= 0) {
        self->tracker_.seedFocus(path);
    }
    return 1;
}

}  // namespace sendhold::ime
