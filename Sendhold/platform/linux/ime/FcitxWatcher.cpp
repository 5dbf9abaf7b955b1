#include "FcitxWatcher.h"

#include <chrono>
#include <cstdlib>
#include <string>

namespace sendhold::ime {

namespace {
constexpr int kAgainMs = 500;

const char* const kMonitorRules[] = {
    "type='signal',interface='org.fcitx.Fcitx.InputContext1'",
    "type='method_call',interface='org.fcitx.Fcitx.InputContext1'",
    "type='method_return',sender='org.fcitx.Fcitx5'",
    "type='error',sender='org.fcitx.Fcitx5'",
    "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
    "member='NameOwnerChanged'",
};

// The session bus's socket file as sd-bus finds it: the address's first
// unix path, else $XDG_RUNTIME_DIR/bus. Empty when there is none to watch.
std::string sessionBusSocket() {
    if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address) {
        const std::string text = address;
        const auto at = text.find("unix:path=");
        if (at == std::string::npos || text.find_first_of(";", 0) < at) return {};
        return text.substr(at + 10, text.find_first_of(",;", at) - at - 10);
    }
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    return runtime && *runtime ? std::string(runtime) + "/bus" : std::string();
}
}  // namespace

FcitxWatcher::FcitxWatcher() {
    again_.setSingleShot(true);
    QObject::connect(&again_, &QTimer::timeout, this, [this] { tryConnect(); });
    if (!tryConnect()) waitForBus();
}

void FcitxWatcher::waitForBus() {
    if (busWatch_) return;
    const std::string socket = sessionBusSocket();
    if (socket.empty()) return;
    busWatch_ = std::make_unique<PathWatch>(socket, [this] {
        if (!connection_ && !tryConnect()) again_.start(kAgainMs);
    });
}

FcitxWatcher::~FcitxWatcher() = default;

bool FcitxWatcher::tryConnect() {
    sd_bus* bus = nullptr;
    if (sd_bus_open_user_with_description(&bus, "sendhold-fcitx5") < 0) return false;
    // Who owns Fcitx5's name now; a change between this answer and the
    // monitoring is caught by the match rule, later ones by the monitor.
    int r = sd_bus_call_method_async(
        bus, nullptr, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "AddMatch", nullptr, nullptr, "s",
        "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
        "member='NameOwnerChanged',arg0='org.fcitx.Fcitx5'");
    if (r >= 0) {
        r = sd_bus_call_method_async(bus, nullptr, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                     "org.freedesktop.DBus", "GetNameOwner",
                                     &FcitxWatcher::onFcitxOwner, this, "s", kFcitxService);
    }
    sd_bus_message* call = nullptr;
    if (r >= 0)
        r = sd_bus_message_new_method_call(bus, &call, "org.freedesktop.DBus",
                                           "/org/freedesktop/DBus",
                                           "org.freedesktop.DBus.Monitoring", "BecomeMonitor");
    if (r >= 0) r = sd_bus_message_open_container(call, SD_BUS_TYPE_ARRAY, "s");
    for (const char* rule : kMonitorRules) {
        if (r >= 0) r = sd_bus_message_append(call, "s", rule);
    }
    if (r >= 0) r = sd_bus_message_close_container(call);
    if (r >= 0) r = sd_bus_message_append(call, "u", 0u);
    if (r >= 0) r = sd_bus_call_async(bus, nullptr, call, &FcitxWatcher::onBecameMonitor, this, 0);
    sd_bus_message_unref(call);
    if (r < 0) {
        sd_bus_unref(bus);
        return false;
    }
    tracker_.clear();
    handler_.fcitxIs({});
    monitoring_ = false;
    connection_ = std::make_unique<BusConnection>(
        bus,
        [this](sd_bus_message* m) {
            // Before monitoring, only the name change asked for above arrives.
            handler_.handle(m, std::chrono::steady_clock::now());
        },
        [this](BusConnection* which) { onClosed(which); });
    busWatch_.reset();
    return true;
}

void FcitxWatcher::onClosed(BusConnection* which) {
    if (which != connection_.get()) return;
    tracker_.clear();
    monitoring_ = false;
    connection_->detach();
    connection_.release()->deleteLater();
    waitForBus();
}

int FcitxWatcher::onFcitxOwner(sd_bus_message* m, void* userdata, sd_bus_error*) {
    const char* owner = nullptr;
    if (!sd_bus_message_is_method_error(m, nullptr) && sd_bus_message_read(m, "s", &owner) >= 0) {
        static_cast<FcitxWatcher*>(userdata)->handler_.fcitxIs(owner);
    }
    return 1;
}

int FcitxWatcher::onBecameMonitor(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<FcitxWatcher*>(userdata);
    if (sd_bus_message_is_method_error(m, nullptr)) {
        // Refused (a bus without monitoring, or a policy against it), or
        // lost before the answer: give up this connection until a bus
        // appears anew; the probe answers false for Fcitx5.
        if (self->connection_) {
            auto* which = self->connection_.get();
            QTimer::singleShot(0, self, [self, which] { self->onClosed(which); });
        }
        return 1;
    }
    self->monitoring_ = true;
    return 1;
}

}  // namespace sendhold::ime
