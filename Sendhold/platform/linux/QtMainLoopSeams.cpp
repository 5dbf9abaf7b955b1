#include "QtMainLoopSeams.h"

#include <QTimer>
#include <algorithm>
#include <chrono>
#include <limits>

#include "QtOwned.h"
#include "TimeUnits.h"

namespace sendhold {
namespace {

// The handle owns its QTimer: invalidating or dropping it stops the timer for
// good (deleteLater, so that it is safe from inside the timer's own signal).
class QtOneShot final : public Timer {
  public:
    explicit QtOneShot(QtOwned<QTimer> timer) : timer_(std::move(timer)) {}
    void invalidate() override {
        if (timer_) timer_->stop();
        timer_.reset();
    }

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

double SteadyClock::now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::shared_ptr<Timer> PreciseTimerScheduler::scheduleOneShot(double seconds,
                                                              std::function<void()> action) {
    QtOwned<QTimer> timer(new QTimer());
    timer->setTimerType(Qt::PreciseTimer);
    timer->setSingleShot(true);
    QObject::connect(timer.get(), &QTimer::timeout, timer.get(), std::move(action));
    timer->start(timerInterval(seconds));
    return std::make_shared<QtOneShot>(std::move(timer));
}

}  // namespace sendhold
