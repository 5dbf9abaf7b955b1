#pragma once

#include <memory>

#include "MainLoop.h"

class QObject;

namespace sendhold {

// The main loop on Qt's event loop (the tray app's direct mode): socket
// notifiers, precise single-shot timers and queued calls on the thread that
// made the loop. Needs a QCoreApplication.
class QtMainLoop final : public MainLoop {
  public:
    QtMainLoop();
    ~QtMainLoop() override;

    std::unique_ptr<Watch> watchReadable(int fd, std::function<void()> ready) override;
    std::unique_ptr<Source> startTimer(double seconds, std::function<void()> fire) override;
    void postFromAnyThread(std::function<void()> task) override;

  private:
    // Queued calls go to this object; when it goes, so do the calls still queued.
    std::unique_ptr<QObject> context_;
};

}  // namespace sendhold
