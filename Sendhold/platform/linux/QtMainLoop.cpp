#include "QtMainLoop.h"

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <limits>

#include "QtOwned.h"
#include "TimeUnits.h"

namespace sendhold {
namespace {

// The notifier goes with deleteLater (this may run inside its own signal);
// until then it must not watch a descriptor that may be closed now.
class QtWatch final : public MainLoop::Watch {
  public:
    explicit QtWatch(QtOwned<QSocketNotifier> notifier) : notifier_(std::move(notifier)) {}
    ~QtWatch() override { notifier_->setEnabled(false); }
    void setEnabled(bool enabled) override { notifier_->setEnabled(enabled); }

  private:
    QtOwned<QSocketNotifier> notifier_;
};

class QtTimer final : public MainLoop::Source {
  public:
    explicit QtTimer(QtOwned<QTimer> timer) : timer_(std::move(timer)) {}
    ~QtTimer() override { timer_->stop(); }

  private:
    QtOwned<QTimer> timer_;
};

// Qt takes an int of milliseconds; a longer wait would wrap to a short one.
std::chrono::milliseconds timerInterval(double seconds) {
    using std::chrono::milliseconds;
    return std::min(durationFromSeconds<milliseconds>(seconds),
                    milliseconds(std::numeric_limits<int>::max()));
}

}  // namespace

QtMainLoop::QtMainLoop() : context_(std::make_unique<QObject>()) {}

QtMainLoop::~QtMainLoop() = default;

std::unique_ptr<MainLoop::Watch> QtMainLoop::watchReadable(int fd, std::function<void()> ready) {
    QtOwned<QSocketNotifier> notifier(new QSocketNotifier(fd, QSocketNotifier::Read));
    QObject::connect(notifier.get(), &QSocketNotifier::activated, notifier.get(), std::move(ready));
    return std::make_unique<QtWatch>(std::move(notifier));
}

std::unique_ptr<MainLoop::Source> QtMainLoop::startTimer(double seconds,
                                                         std::function<void()> fire) {
    // The coarse default may fire 5 % late, which a long-press threshold cannot afford.
    QtOwned<QTimer> timer(new QTimer());
    timer->setTimerType(Qt::PreciseTimer);
    timer->setSingleShot(true);
    QObject::connect(timer.get(), &QTimer::timeout, timer.get(), std::move(fire));
    timer->start(timerInterval(seconds));
    return std::make_unique<QtTimer>(std::move(timer));
}

void QtMainLoop::postFromAnyThread(std::function<void()> task) {
    QMetaObject::invokeMethod(context_.get(), std::move(task), Qt::QueuedConnection);
}

}  // namespace sendhold
