#include "SdEventMainLoop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <systemd/sd-event.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <system_error>

#include "Diagnostics.h"
#include "TimeUnits.h"

namespace sendhold {
namespace {

// One sd-event source and its callback. The callback is shared so that it
// lives to its end even when the source is destroyed from inside it; sd-event
// itself defers freeing a source that is being dispatched.
class SdSource : public MainLoop::Watch {
  public:
    explicit SdSource(std::function<void()> callback)
        : callback_(std::make_shared<std::function<void()>>(std::move(callback))) {}
    ~SdSource() override { sd_event_source_disable_unref(source_); }
    void setEnabled(bool enabled) override {
        if (source_) sd_event_source_set_enabled(source_, enabled ? SD_EVENT_ON : SD_EVENT_OFF);
    }
    sd_event_source** slot() { return &source_; }

    static int dispatch(void* userdata) {
        const std::shared_ptr<std::function<void()>> callback =
            static_cast<SdSource*>(userdata)->callback_;
        (*callback)();
        return 0;
    }

  private:
    std::shared_ptr<std::function<void()>> callback_;
    sd_event_source* source_ = nullptr;
};

int onReadable(sd_event_source*, int, std::uint32_t, void* userdata) {
    return SdSource::dispatch(userdata);
}

int onTime(sd_event_source*, std::uint64_t, void* userdata) {
    return SdSource::dispatch(userdata);
}

std::uint64_t monotonicNowUsec() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(nanosecondsOf(now) / 1000);
}

}  // namespace

SdEventMainLoop::SdEventMainLoop() {
    if (const int error = sd_event_new(&event_); error < 0)
        throw std::system_error(-error, std::generic_category(), "sd_event_new");
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) {
        const int error = errno;
        sd_event_unref(event_);
        throw std::system_error(error, std::generic_category(), "eventfd");
    }
    wakeWatch_ = watchReadable(wakeFd_, [this] { runPosted(); });
}

SdEventMainLoop::~SdEventMainLoop() {
    wakeWatch_.reset();
    close(wakeFd_);
    // Sources still held elsewhere keep the event object alive until they go.
    sd_event_unref(event_);
}

int SdEventMainLoop::run() {
    return sd_event_loop(event_);
}

void SdEventMainLoop::exit(int code) {
    sd_event_exit(event_, code);
}

std::unique_ptr<MainLoop::Watch> SdEventMainLoop::watchReadable(int fd,
                                                                std::function<void()> ready) {
    auto source = std::make_unique<SdSource>(std::move(ready));
    if (const int error =
            sd_event_add_io(event_, source->slot(), fd, EPOLLIN, onReadable, source.get());
        error < 0) {
        warn("cannot watch descriptor " + std::to_string(fd) + " (" +
             std::generic_category().message(-error) + ")");
    }
    return source;
}

std::unique_ptr<MainLoop::Source> SdEventMainLoop::startTimer(double seconds,
                                                              std::function<void()> fire) {
    auto source = std::make_unique<SdSource>(std::move(fire));
    // Measured from now, not from the loop's cached wake-up time, so that it
    // never fires early; a saturated delay stays far below "never".
    const auto delay = durationFromSeconds<std::chrono::microseconds>(seconds);
    const std::uint64_t due = monotonicNowUsec() + static_cast<std::uint64_t>(delay.count());
    if (const int error = sd_event_add_time(event_, source->slot(), CLOCK_MONOTONIC, due, 1, onTime,
                                            source.get());
        error < 0) {
        warn("cannot start a timer (" + std::generic_category().message(-error) + ")");
    }
    return source;
}

void SdEventMainLoop::postFromAnyThread(std::function<void()> task) {
    {
        std::lock_guard lock(postedMutex_);
        posted_.push_back(std::move(task));
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(wakeFd_, &one, sizeof one);
}

void SdEventMainLoop::runPosted() {
    std::uint64_t count = 0;
    [[maybe_unused]] ssize_t got = ::read(wakeFd_, &count, sizeof count);
    std::deque<std::function<void()>> tasks;
    {
        std::lock_guard lock(postedMutex_);
        tasks.swap(posted_);
    }
    for (auto& task : tasks) task();
}

}  // namespace sendhold
