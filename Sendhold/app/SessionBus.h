#pragma once

#include <QDBusConnection>
#include <functional>

namespace sendhold {

// Runs `use` on the main loop with the session bus: at once once connected,
// else when the first connection is made. Qt connects synchronously and waits
// for the bus daemon's answer, which a bus started on demand (a user's
// dbus.socket) can take seconds to give, so the first connection is made on a
// short-lived thread of its own while the main loop goes on. Uses run in the
// order given. Without a session bus the connection given is not connected.
void withSessionBus(std::function<void(QDBusConnection)> use);

}  // namespace sendhold
