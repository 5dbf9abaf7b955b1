#include "SessionBus.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <optional>
#include <thread>
#include <vector>

namespace sendhold {
namespace {

struct BusState {
    std::optional<QDBusConnection> bus;
    std::vector<std::function<void(QDBusConnection)>> waiting;
    bool connecting = false;
};

// Touched on the main loop only.
BusState& state() {
    static BusState bus;
    return bus;
}

void connected(QDBusConnection bus) {
    BusState& s = state();
    s.bus = bus;
    // A use may ask again; it is then served at once.
    const auto waiting = std::move(s.waiting);
    s.waiting.clear();
    for (const auto& use : waiting) use(bus);
}

}  // namespace

void withSessionBus(std::function<void(QDBusConnection)> use) {
    BusState& s = state();
    if (s.bus) return use(*s.bus);
    s.waiting.push_back(std::move(use));
    if (s.connecting || !QCoreApplication::instance()) return;
    s.connecting = true;
    std::thread([] {
        // Thread-safe; the connection itself lives in Qt's D-Bus thread.
        const QDBusConnection bus = QDBusConnection::sessionBus();
        if (QCoreApplication* app = QCoreApplication::instance())
            QMetaObject::invokeMethod(
                app, [bus] { connected(bus); }, Qt::QueuedConnection);
    }).detach();
}

}  // namespace sendhold
