#include "QtMainLoopSeams.h"

#include <QPointer>
#include <QTimer>
#include <chrono>
#include <cmath>

namespace sendhold {
namespace {

class QtOneShot final : public Timer {
  public:
    explicit QtOneShot(QTimer* timer) : timer_(timer) {}
    ~QtOneShot() override = default;
    void invalidate() override {
        if (!timer_) return;
        timer_->stop();
        timer_->deleteLater();
        timer_ = nullptr;
    }

  private:
    QPointer<QTimer> timer_;
};

}  // namespace

double SteadyClock::now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::shared_ptr<Timer> PreciseTimerScheduler::scheduleOneShot(double seconds,
                                                              std::function<void()> action) {
    if (!std::isfinite(seconds) || seconds < 0) seconds = 0;
    auto* timer = new QTimer();
    timer->setTimerType(Qt::PreciseTimer);
    timer->setSingleShot(true);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, action = std::move(action)] {
        timer->deleteLater();
        action();
    });
    timer->start(std::chrono::milliseconds(std::llround(seconds * 1000)));
    return std::make_shared<QtOneShot>(timer);
}

}  // namespace sendhold
