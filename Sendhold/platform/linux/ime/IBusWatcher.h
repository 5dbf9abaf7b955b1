#pragma once

#include <QObject>
#include <memory>
#include <string>

#include "BusConnection.h"
#include "ContextTracker.h"
#include "IBusMessages.h"
#include "PathWatch.h"

namespace sendhold::ime {

// Joins ibus-daemon's own bus as an ordinary client and watches its input
// contexts through match rules. It never takes a name (the panel's least of
// all) and never calls anything on another client's context; the only call it
// makes besides the match rules are GetNameOwner and the daemon's
// CurrentInputContext, once per connection, to learn who speaks for the daemon
// and the focus. Only unix-socket addresses are joined. When the daemon goes away everything is
// forgotten. The address file is watched (inotify, no timer) so that a daemon
// started or restarted later is joined: it writes the file once it listens.
class IBusWatcher : public QObject {
  public:
    IBusWatcher();
    ~IBusWatcher() override;

    const ContextTracker& tracker() const { return tracker_; }
    ContextTracker& tracker() { return tracker_; }
    // The live connection, or null.
    BusConnection* connection() const { return connection_.get(); }
    // Connected and past the first exchange with the daemon (the focus query,
    // sent just before the match rules).
    bool isWatching() const { return connection_ && connection_->isOpen() && focusAnswered_; }

  private:
    void tryConnect();
    // Forgets the connection `which` (the current one when null).
    void onClosed(BusConnection* which = nullptr);
    static int onDaemonName(sd_bus_message* m, void* userdata, sd_bus_error* error);
    static int onCurrentInputContext(sd_bus_message* m, void* userdata, sd_bus_error* error);

    ContextTracker tracker_;
    IBusMessageHandler handler_{tracker_};
    std::unique_ptr<BusConnection> connection_;
    std::string connectedAddress_;
    std::string refusedAddress_;
    bool focusAnswered_ = false;
    std::string addressFile_;
    std::unique_ptr<PathWatch> fileWatch_;
};

}  // namespace sendhold::ime
