#pragma once

#include <QObject>
#include <QTimer>
#include <memory>

#include "BusConnection.h"
#include "ContextTracker.h"
#include "FcitxMessages.h"
#include "PathWatch.h"

namespace sendhold::ime {

// Watches Fcitx5's D-Bus frontend as a monitor of the session bus: its
// context signals go only to their clients and batched keys carry the preedit
// in their answers, so an ordinary match rule would see neither. A monitor
// may not send anything; after BecomeMonitor it only listens, and Fcitx5
// starting or ending shows as a name change: nothing is polled. Without a
// session bus, or after losing or being refused by it, the bus's socket file
// is watched (inotify) and a bus that appears there is tried; an address that
// names no socket file leaves Fcitx5 unwatched.
class FcitxWatcher : public QObject {
  public:
    FcitxWatcher();
    ~FcitxWatcher() override;

    const ContextTracker& tracker() const { return tracker_; }
    ContextTracker& tracker() { return tracker_; }
    BusConnection* connection() const { return monitoring_ ? connection_.get() : nullptr; }
    bool isWatching() const { return monitoring_ && connection_ && connection_->isOpen(); }

  private:
    bool tryConnect();
    // Forgets the connection `which` and waits for a bus.
    void onClosed(BusConnection* which);
    void waitForBus();
    static int onFcitxOwner(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int onBecameMonitor(sd_bus_message* m, void* userdata, sd_bus_error* error);

    ContextTracker tracker_;
    FcitxMessageHandler handler_{tracker_};
    std::unique_ptr<BusConnection> connection_;
    bool monitoring_ = false;
    std::unique_ptr<PathWatch> busWatch_;
    // One more try shortly after a socket file appeared: the bus may not
    // listen yet when the file is made.
    QTimer again_;
};

}  // namespace sendhold::ime
