#include "PathWatch.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sendhold::ime {

namespace {
// The directory holding `path`, then its ancestors, up to the first that exists.
std::string nearestExistingDirectory(const std::string& path) {
    std::string dir = path;
    while (true) {
        const auto slash = dir.find_last_of('/');
        if (slash == std::string::npos) return {};
        dir.resize(slash == 0 ? 1 : slash);
        struct stat info {};
        if (stat(dir.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return dir;
        if (dir == "/") return {};
    }
}
}  // namespace

PathWatch::PathWatch(std::string path, std::function<void()> changed)
    : path_(std::move(path)), changed_(std::move(changed)) {
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) return;
    readable_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
    QObject::connect(readable_.get(), &QSocketNotifier::activated, this, [this] { readEvents(); });
    arm();
}

PathWatch::~PathWatch() {
    readable_.reset();
    if (fd_ >= 0) close(fd_);
}

void PathWatch::arm() {
    const std::string dir = nearestExistingDirectory(path_);
    if (dir == watched_ && watch_ >= 0) return;
    if (watch_ >= 0) inotify_rm_watch(fd_, watch_);
    watch_ = -1;
    watched_.clear();
    if (dir.empty()) return;
    // The path's own directory: every change to its entries. An ancestor:
    // only a directory appearing (or being moved in) on the way down.
    const bool own = path_.compare(0, dir.size() + 1, dir + "/") == 0 &&
                     path_.find('/', dir.size() + 1) == std::string::npos;
    const std::uint32_t mask =
        (own ? IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE
             : IN_CREATE | IN_MOVED_TO | IN_ONLYDIR) |
        IN_DELETE_SELF | IN_MOVE_SELF;
    watch_ = inotify_add_watch(fd_, dir.c_str(), mask);
    if (watch_ >= 0) watched_ = dir;
}

void PathWatch::readEvents() {
    alignas(inotify_event) char buffer[4096];
    // Only the entry on the way to the path counts (others share the
    // directory: $XDG_RUNTIME_DIR, ~/.config), and the directory itself going.
    const std::size_t start = watched_ == "/" ? 1 : watched_.size() + 1;
    const std::string next = path_.substr(start, path_.find('/', start) - start);
    bool relevant = false;
    ssize_t got = 0;
    while ((got = read(fd_, buffer, sizeof buffer)) > 0) {
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            if ((event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_Q_OVERFLOW)) ||
                (event->len > 0 && next == event->name))
                relevant = true;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    if (!relevant) return;
    // A directory on the way appeared or the watched one went: watch anew,
    // then look, since what came before the new watch raised no event.
    arm();
    changed_();
}

}  // namespace sendhold::ime
