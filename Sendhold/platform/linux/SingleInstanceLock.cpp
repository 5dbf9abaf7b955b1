#include "SingleInstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace sendhold {

std::string SingleInstanceLock::runtimePath(const std::string& applicationId) {
    const char* dir = std::getenv("XDG_RUNTIME_DIR");
    // Only absolute paths count; a relative or empty value is treated as unset.
    if (!dir || dir[0] != '/') return {};
    return std::string(dir) + "/" + applicationId + ".lock";
}

std::string SingleInstanceLock::fallbackPath(const std::string& applicationId) {
    return "/tmp/" + applicationId + "-" + std::to_string(getuid()) + ".lock";
}

SingleInstanceLock::~SingleInstanceLock() {
    release();
}

void SingleInstanceLock::release() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

SingleInstanceLock::Result SingleInstanceLock::acquire(const std::string& applicationId) {
    const std::string runtime = runtimePath(applicationId);
    if (!runtime.empty()) {
        Result result = acquireAt(runtime);
        if (result != Result::Unavailable) return result;
    }
    return acquireAt(fallbackPath(applicationId));
}

SingleInstanceLock::Result SingleInstanceLock::acquireAt(const std::string& path) {
    release();
    path_ = path;
    problem_.clear();
    // The fallback lives in a world-writable directory: never follow a planted
    // symlink, and only trust a regular file of our own that nobody else may write.
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        problem_ = std::strerror(errno);
        return Result::Unavailable;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != getuid() ||
        (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        problem_ = "not a private regular file of this user";
        close(fd);
        return Result::Unavailable;
    }
    int rc;
    do {
        rc = flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int error = errno;
        close(fd);
        if (error == EWOULDBLOCK) return Result::HeldElsewhere;
        problem_ = std::strerror(error);
        return Result::Unavailable;
    }
    fd_ = fd;
    return Result::Acquired;
}

}  // namespace sendhold
