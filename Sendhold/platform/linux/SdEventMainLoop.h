#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "MainLoop.h"

struct sd_event;
struct sd_event_source;

namespace sendhold {

// The main loop of a process without a toolkit, on libsystemd's sd-event.
// Timers run on CLOCK_MONOTONIC with microsecond accuracy: a long-press
// threshold must not fire late because the loop batched its wake-ups.
class SdEventMainLoop final : public MainLoop {
  public:
    // Throws std::system_error when sd-event cannot set up the loop.
    SdEventMainLoop();
    ~SdEventMainLoop() override;
    SdEventMainLoop(const SdEventMainLoop&) = delete;
    SdEventMainLoop& operator=(const SdEventMainLoop&) = delete;

    // Runs until exit(); returns the code given to it, or a negative errno.
    int run();
    // Ends run() after the current callback.
    void exit(int code);
    // For callers that add sources of their own (signals, login monitor).
    sd_event* event() const { return event_; }

    std::unique_ptr<Watch> watchReadable(int fd, std::function<void()> ready) override;
    std::unique_ptr<Source> startTimer(double seconds, std::function<void()> fire) override;
    void postFromAnyThread(std::function<void()> task) override;

  private:
    void runPosted();

    sd_event* event_ = nullptr;
    int wakeFd_ = -1;
    std::unique_ptr<Watch> wakeWatch_;
    std::mutex postedMutex_;
    std::deque<std::function<void()>> posted_;
};

}  // namespace sendhold
