#pragma once

#include <string>

namespace sendhold {

// One running copy per user: an advisory flock on a per-user lock file. The
// kernel drops the lock when the holding process ends, however it ends, so a
// crashed copy never blocks the next start.
class SingleInstanceLock {
  public:
    enum class Result {
        Acquired,       // this process is the one running copy
        HeldElsewhere,  // another live process holds the lock
        Unavailable,    // no trustworthy lock file could be opened
    };

    // Where the lock lives: $XDG_RUNTIME_DIR/<id>.lock when that variable names
    // an absolute path, else /tmp/<id>-<uid>.lock.
    static std::string runtimePath(const std::string& applicationId);
    static std::string fallbackPath(const std::string& applicationId);

    SingleInstanceLock() = default;
    ~SingleInstanceLock();
    SingleInstanceLock(const SingleInstanceLock&) = delete;
    SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;

    // Tries the runtime path, then the fallback path when the runtime one cannot
    // be used. Never blocks. The lock is held until this object is destroyed.
    Result acquire(const std::string& applicationId);

    // Tries exactly one path.
    Result acquireAt(const std::string& path);

    // The path in use, with a reason when acquire() answered Unavailable.
    const std::string& path() const { return path_; }
    const std::string& problem() const { return problem_; }

  private:
    void release();
    int fd_ = -1;
    std::string path_;
    std::string problem_;
};

}  // namespace sendhold
