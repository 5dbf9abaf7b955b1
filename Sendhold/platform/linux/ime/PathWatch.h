#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <functional>
#include <memory>
#include <string>

namespace sendhold::ime {

// Tells when something may have changed at a path that need not exist yet,
// without polling: inotify watches the path's directory, or while that is
// missing its nearest existing ancestor, moving down (or back up) as
// directories come and go. The notice is coarse: any entry created, written,
// moved or removed in the watched directory, or a directory on the way
// appearing, runs `changed` once per batch, on the main loop.
class PathWatch : public QObject {
  public:
    PathWatch(std::string path, std::function<void()> changed);
    ~PathWatch() override;

    // The directory watched now; empty when none could be (no inotify, or
    // nothing of the path exists, not even "/").
    const std::string& watchedDirectory() const { return watched_; }

  private:
    void arm();
    void readEvents();

    std::string path_;
    std::function<void()> changed_;
    int fd_ = -1;
    int watch_ = -1;
    std::string watched_;
    std::unique_ptr<QSocketNotifier> readable_;
};

}  // namespace sendhold::ime
