#include "BusConnection.h"

#include <poll.h>
#include <time.h>

#include <algorithm>
#include <climits>

#include "TimeUnits.h"

namespace sendhold::ime {

namespace {
std::function<void()>& activityHook() {
    static std::function<void()> hook;
    return hook;
}
}  // namespace

BusConnection::BusConnection(sd_bus* bus, MessageHandler onMessage, CloseHandler onClosed)
    : bus_(bus), onMessage_(std::move(onMessage)), onClosed_(std::move(onClosed)) {
    sd_bus_add_filter(bus_, nullptr, &BusConnection::filter, this);
    const int descriptor = sd_bus_get_fd(bus_);
    if (descriptor < 0) {
        markClosed();
        return;
    }
    readable_ = std::make_unique<QSocketNotifier>(descriptor, QSocketNotifier::Read);
    writable_ = std::make_unique<QSocketNotifier>(descriptor, QSocketNotifier::Write);
    writable_->setEnabled(false);
    QObject::connect(readable_.get(), &QSocketNotifier::activated, this, [this] { process(); });
    QObject::connect(writable_.get(), &QSocketNotifier::activated, this, [this] { process(); });
    deadline_.setSingleShot(true);
    deadline_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&deadline_, &QTimer::timeout, this, [this] { process(); });
    // Queued output (authentication, our first calls) goes out from the loop.
    QTimer::singleShot(0, this, [this] { process(); });
}

BusConnection::~BusConnection() {
    readable_.reset();
    writable_.reset();
    // Never flush: a lost peer must not block the main loop.
    sd_bus_close_unref(bus_);
}

int BusConnection::filter(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<BusConnection*>(userdata);
    if (self->onMessage_) self->onMessage_(m);
    return 1;
}

bool BusConnection::drain(int limit) {
    if (closed_) return false;
    holdsUnprocessed_ = false;
    for (int i = 0; i < limit; ++i) {
        const int r = sd_bus_process(bus_, nullptr);
        if (r < 0 || !sd_bus_is_open(bus_)) {
            markClosed();
            return false;
        }
        if (r == 0) return true;
    }
    // sd-bus may hold messages it already read, which the fd no longer
    // announces: finish them from the loop.
    holdsUnprocessed_ = true;
    QTimer::singleShot(0, this, [this] { process(); });
    return true;
}

void BusConnection::setActivityHook(std::function<void()> hook) {
    activityHook() = std::move(hook);
}

void BusConnection::process() {
    if (drain(256)) rearm();
    if (activityHook()) activityHook()();
}

void BusConnection::rearm() {
    const int events = sd_bus_get_events(bus_);
    if (events < 0) {
        markClosed();
        return;
    }
    writable_->setEnabled((events & POLLOUT) != 0);
    std::uint64_t due = 0;
    if (sd_bus_get_timeout(bus_, &due) > 0 && due != UINT64_MAX) {
        // sd-bus gives CLOCK_MONOTONIC microseconds; waits are capped at a minute.
        constexpr std::int64_t kMaxWaitNs = 60'000'000'000;
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const std::int64_t nowNs = nanosecondsOf(now);
        const std::int64_t dueNs = due > std::uint64_t(INT64_MAX / 1000)
                                       ? INT64_MAX
                                       : static_cast<std::int64_t>(due) * 1000;
        const std::int64_t leftNs = dueNs > nowNs ? std::min(dueNs - nowNs, kMaxWaitNs) : 0;
        deadline_.start(static_cast<int>(millisecondsRoundedUp(leftNs)));
    } else {
        deadline_.stop();
    }
}

void BusConnection::detach() {
    onMessage_ = nullptr;
    onClosed_ = nullptr;
    closed_ = true;
    if (readable_) readable_->setEnabled(false);
    if (writable_) writable_->setEnabled(false);
    deadline_.stop();
}

void BusConnection::markClosed() {
    if (closed_) return;
    closed_ = true;
    if (readable_) readable_->setEnabled(false);
    if (writable_) writable_->setEnabled(false);
    deadline_.stop();
    // Tell the owner from the loop, never from inside sd_bus_process: the
    // owner typically destroys this connection.
    QTimer::singleShot(0, this, [this] {
        // A copy: the owner detaches (and so clears onClosed_) from inside.
        if (auto handler = onClosed_) handler(this);
        if (activityHook()) activityHook()();
    });
}

}  // namespace sendhold::ime
