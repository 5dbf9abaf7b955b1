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

// Waits for a tray host: checks at once, then again whenever one may have
// come (a StatusNotifierWatcher taking its name or a host registering with it
// on the session bus; on X11, a tray manager announcing its selection), and
// after each of a few delays. Past the last delay it reports that it gave up,
// yet a host that comes later still brings the icon. Nothing ticks meanwhile.
class TrayHostWatch : public QObject {
    Q_OBJECT
  public:
    // Asks whether a host is there and calls back with the answer, now or later.
    using Probe = std::function<void(std::function<void(bool)> answer)>;

    // The default schedule: one more check after about six minutes, the
    // notices being the real watch.
    static std::vector<int> defaultDelaysMs();

    TrayHostWatch(Probe probe, std::vector<int> delaysMs, QObject* parent = nullptr);

    // Checks at once, then after each delay in turn and on every notice until
    // the probe answers true. An answer to a check made before a restart is
    // ignored. Notices are listened to only on a real display (xcb, wayland).
    void start();
    bool isWaiting() const { return timer_.isActive() || asking_ > 0; }

  public slots:
    // A tray host may have come: checks, outside the schedule.
    void recheck();

  signals:
    void hostAppeared();
    void gaveUp();

  private:
    void check(bool scheduled);
    void answered(bool present, bool scheduled);
    void listenForHosts();

    Probe probe_;
    std::vector<int> delaysMs_;
    std::size_t next_ = 0;
    std::uint64_t round_ = 0;
    int asking_ = 0;  // scheduled checks not answered yet
    bool found_ = false;
    bool listening_ = false;
    QTimer timer_;
};

}  // namespace sendhold
