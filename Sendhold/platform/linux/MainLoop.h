#pragma once

#include <functional>
#include <memory>

namespace sendhold {

// The one main loop a process runs everything on, as the keyboard hook sees
// it: readable descriptors and one-shot timers enter it as callbacks. Two
// implementations: QtMainLoop on Qt's event loop (the tray app, direct mode)
// and SdEventMainLoop on sd-event (the keyboard service, which has no toolkit).
// All but postFromAnyThread belong to the loop's own thread.
class MainLoop {
  public:
    // A registration. Destroying it stops it for good, also from inside its own
    // callback.
    class Source {
      public:
        virtual ~Source() = default;
    };
    // A descriptor watch that can be paused without being torn down.
    class Watch : public Source {
      public:
        virtual void setEnabled(bool enabled) = 0;
    };

    virtual ~MainLoop() = default;

    // Calls `ready` on the loop each time `fd` is readable (or hung up).
    virtual std::unique_ptr<Watch> watchReadable(int fd, std::function<void()> ready) = 0;
    // Calls `fire` once after `seconds`, with millisecond precision or better.
    virtual std::unique_ptr<Source> startTimer(double seconds, std::function<void()> fire) = 0;
    // Safe from any thread: runs `task` on the loop soon. The task must not
    // outlive what it captures; the loop drops tasks still queued when it ends.
    virtual void postFromAnyThread(std::function<void()> task) = 0;
};

}  // namespace sendhold
