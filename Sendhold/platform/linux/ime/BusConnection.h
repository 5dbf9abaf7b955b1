#pragma once

#include <systemd/sd-bus.h>

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <functional>
#include <memory>

namespace sendhold::ime {

// One sd-bus connection driven by the Qt main loop: its fd through
// QSocketNotifier, its own deadlines through a QTimer. Every message that
// reaches it, except answers to its own calls, goes to `onMessage` and is then
// treated as handled: a watcher sees other clients' calls, and must never
// answer them (sd-bus would otherwise reply "unknown object").
class BusConnection : public QObject {
  public:
    using MessageHandler = std::function<void(sd_bus_message*)>;

    using CloseHandler = std::function<void(BusConnection*)>;

    // Takes ownership of a started bus. `onClosed` runs once, on the main
    // loop, after the connection is lost, naming this connection.
    BusConnection(sd_bus* bus, MessageHandler onMessage, CloseHandler onClosed);
    ~BusConnection() override;

    sd_bus* bus() const { return bus_; }
    int fd() const { return sd_bus_get_fd(bus_); }
    bool isOpen() const { return !closed_; }

    // Stops all dispatching, before the owner lets go of this connection:
    // nothing it still reads may reach the owner's state afterwards.
    void detach();

    // Reads and dispatches what has already arrived, at most `limit` messages;
    // never blocks. Answers false once the connection is lost.
    bool drain(int limit);
    // Whether the last drain stopped at its limit: sd-bus may hold messages
    // it already read, which the fd no longer announces.
    bool holdsUnprocessed() const { return holdsUnprocessed_; }

    // Runs on the main loop after each batch of messages any connection
    // handled there: the tray app then tells the keyboard service what changed.
    static void setActivityHook(std::function<void()> hook);

  private:
    static int filter(sd_bus_message* m, void* userdata, sd_bus_error* error);
    void process();
    void rearm();
    void markClosed();

    sd_bus* bus_;
    MessageHandler onMessage_;
    CloseHandler onClosed_;
    std::unique_ptr<QSocketNotifier> readable_;
    std::unique_ptr<QSocketNotifier> writable_;
    QTimer deadline_;
    bool closed_ = false;
    bool holdsUnprocessed_ = false;
};

}  // namespace sendhold::ime
