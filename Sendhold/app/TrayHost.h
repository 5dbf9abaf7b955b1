#pragma once

#include <QObject>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <vector>

namespace sendhold {

// Whether some tray host is there to show an icon: a StatusNotifierItem host
// registered on the session bus, or (on X11) an XEmbed tray manager. It asks
// the bus and the X server directly and never calls into QSystemTrayIcon: Qt
// decides once per process, at its first tray call, between StatusNotifierItem
// and XEmbed, and asking too early would pin it to XEmbed for good.
// Answers asynchronously, on the main loop: nothing here waits for the bus.
void checkTrayHost(std::function<void(bool present)> answer);

// Waits for a tray host with a bounded number of checks spaced out by growing
// delays, then stops for good: an idle program makes no wake-ups.
class TrayHostWatch : public QObject {
    Q_OBJECT
  public:
    // Asks whether a host is there and calls back with the answer, now or later.
    using Probe = std::function<void(std::function<void(bool)> answer)>;

    // The default schedule: about six minutes in all, from a quarter second
    // up to one minute between checks.
    static std::vector<int> defaultDelaysMs();

    TrayHostWatch(Probe probe, std::vector<int> delaysMs, QObject* parent = nullptr);

    // Checks at once, then after each delay in turn until the probe answers
    // true. An answer to a check made before a restart is ignored.
    void start();
    bool isWaiting() const { return timer_.isActive() || asking_; }

  signals:
    void hostAppeared();
    void gaveUp();

  private:
    void check();
    void answered(bool present);

    Probe probe_;
    std::vector<int> delaysMs_;
    std::size_t next_ = 0;
    std::uint64_t round_ = 0;
    bool asking_ = false;
    QTimer timer_;
};

}  // namespace sendhold
