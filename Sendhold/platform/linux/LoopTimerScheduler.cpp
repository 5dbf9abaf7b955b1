#include "LoopTimerScheduler.h"

namespace sendhold {
namespace {

class LoopTimer final : public Timer {
  public:
    void invalidate() override { source.reset(); }
    std::unique_ptr<MainLoop::Source> source;
};

}  // namespace

LoopTimerScheduler::LoopTimerScheduler(std::shared_ptr<MainLoop> loop) : loop_(std::move(loop)) {}

std::shared_ptr<Timer> LoopTimerScheduler::scheduleOneShot(double seconds,
                                                           std::function<void()> action) {
    auto timer = std::make_shared<LoopTimer>();
    timer->source = loop_->startTimer(seconds, std::move(action));
    return timer;
}

}  // namespace sendhold
