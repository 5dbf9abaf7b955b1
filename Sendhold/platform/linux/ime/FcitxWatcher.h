#pragma once

#include <QObject>
#include <QTimer>
#include <memory>

#include "BusConnection.h"
#include "ContextTracker.h"
#include "FcitxMessages.h"

namespace sendhold::ime {

// Watches Fcitx5's D-Bus frontend as a monitor of the session bus: its
// context signals go only to their clients and batched keys carry the preedit
// in their answers, so an ordinary match rule would see neither. A monitor
// may not send anything; after BecomeMonitor it only listens. Losing the
// session bus forgets everything and tries again later.
class FcitxWatcher : public QObject {
  public:
    FcitxWatcher();
    ~FcitxWatcher() override;

    const ContextTracker& tracker() const { return tracker_; }
    ContextTracker& tracker() { return tracker_; }
    BusConnection* connection() const { return monitoring_ ? connection_.get() : nullptr; }
    bool isWatching() const { return monitoring_ && connection_ && connection_->isOpen(); }

  private:
    void tryConnect();
    // Forgets the connection `which` and tries again after `retryMs`.
    void onClosed(BusConnection* which, int retryMs);
    static int onFcitxOwner(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int onBecameMonitor(sd_bus_message* m, void* userdata, sd_bus_error* error);

    ContextTracker tracker_;
    FcitxMessageHandler handler_{tracker_};
    std::unique_ptr<BusConnection> connection_;
    bool monitoring_ = false;
    QTimer retry_;
};

}  // namespace sendhold::ime
