#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "KeyboardManager/Seams.h"
#include "QtOwned.h"
#include "service/ControlProtocol.h"

class QSocketNotifier;
class QTimer;

namespace sendhold {

// What the tray app tells the keyboard service, read afresh for every push.
struct SteeringSources {
    std::function<bool()> guardOn;
    // The stored long-press duration as stored; nothing when none is stored.
    std::function<std::optional<double>()> storedDuration;
    std::function<bool()> composing;
    // A key went to the input method and its outcome is still on its way.
    std::function<bool()> compositionPending;
};

// The tray app's side of the keyboard service: the guard's hook seen from a
// process that never sees a key. create() connects, says hello and the
// current state, and waits (once, at start-up, at most kFirstAnswerWait) for
// the service's answer: true when it guards. Afterwards status lines and
// hang-ups arrive on the Qt main loop; a lost service is reconnected with
// backoff and told the state again.
class ServiceLink final : public EventTap {
  public:
    static constexpr int kFirstAnswerWaitMs = 3000;

    ServiceLink(std::string socketPath, SteeringSources sources);
    ~ServiceLink() override;
    ServiceLink(const ServiceLink&) = delete;
    ServiceLink& operator=(const ServiceLink&) = delete;

    bool create() override;
    // Watches the connection from now on; when there is none (the service was
    // not up), retries with backoff, or waits for the socket to appear, unless
    // the service turned this client away for good.
    void enable() override;

    // Sends whatever changed since it was last sent. Cheap when nothing did.
    void pushState();

    bool connected() const { return fd_ >= 0; }
    bool guarding() const { return guarding_; }

  private:
    enum class Answer { Guarding, Other, None };
    bool connectNow(std::string* why);
    void disconnect();
    bool sendLine(const std::string& line);
    void readAvailable();
    Answer handleLine(const std::string& line);
    void lost(const std::string& why);
    void scheduleReconnect();
    void reconnect();
    // Wakes up when the socket, or the directory it lives in, is created.
    void watchForSocket();
    void socketDirectoryChanged();
    void stopWatchingForSocket();
    void watchConnection();

    std::string path_;
    SteeringSources sources_;
    int fd_ = -1;
    control::LineReader reader_;
    QtOwned<QSocketNotifier> readable_;
    int inotify_ = -1;
    std::string awaitedName_;  // the entry whose creation the watch waits for
    QtOwned<QSocketNotifier> appeared_;
    QtOwned<QTimer> retry_;
    int retryMs_ = 0;
    bool enabled_ = false;
    bool guarding_ = false;
    bool refused_ = false;
    bool notInstalled_ = false;
    std::string lastStatus_;
    // What the service was last told, to send only changes.
    std::optional<std::string> sentGuard_, sentDuration_, sentComposition_;
};

// The service's socket: $SENDHOLD_SOCKET when set, else /run/sendhold/control.sock.
std::string serviceSocketPath();

}  // namespace sendhold
