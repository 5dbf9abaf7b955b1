#include "VirtualTime.h"

namespace sendhold {

class VirtualTimerScheduler::Entry final : public Timer {
  public:
    Entry(VirtualTimerScheduler* owner, Key key) : owner_(owner), key_(key) {}
    void invalidate() override { owner_->pending_.erase(key_); }

  private:
    VirtualTimerScheduler* owner_;
    Key key_;
};

std::shared_ptr<Timer> VirtualTimerScheduler::scheduleOneShot(double seconds,
                                                              std::function<void()> action) {
    Key key{clock_->now() + seconds, nextSequence_++};
    pending_.emplace(key, std::move(action));
    return std::make_shared<Entry>(this, key);
}

void VirtualTimerScheduler::advanceTo(double t, bool inclusive) {
    while (!pending_.empty()) {
        auto first = pending_.begin();
        const double deadline = first->first.first;
        if (deadline > t || (deadline == t && !inclusive)) break;
        std::function<void()> action = std::move(first->second);
        pending_.erase(first);
        if (deadline > clock_->now()) clock_->set(deadline);
        action();
    }
    if (t > clock_->now()) clock_->set(t);
}

}  // namespace sendhold
