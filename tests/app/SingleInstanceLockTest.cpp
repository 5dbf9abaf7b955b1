#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <csignal>
#include <cstdlib>

#include "platform/linux/SingleInstanceLock.h"

using namespace sendhold;

using Result = SingleInstanceLock::Result;

// One holder at a time, freed however the holder goes (even SIGKILL); planted
// symlinks, files others may write and folders are refused.
TEST(SingleInstanceLock, OneHolderAtATimeAndNoPlantedFiles) {
    QTemporaryDir dir;
    const auto path = [&](const char* name) { return (dir.path() + "/" + name).toStdString(); };
    auto first = std::make_unique<SingleInstanceLock>();
    EXPECT_EQ(first->acquireAt(path("a.lock")), Result::Acquired);
    SingleInstanceLock second;
    EXPECT_EQ(second.acquireAt(path("a.lock")), Result::HeldElsewhere);
    first.reset();
    EXPECT_EQ(second.acquireAt(path("a.lock")), Result::Acquired);
    struct stat st {};
    ASSERT_EQ(stat(path("a.lock").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        SingleInstanceLock lock;
        if (lock.acquireAt(path("killed.lock")) == Result::Acquired) raise(SIGKILL);
        _exit(1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child did not take the lock";
    EXPECT_EQ(SingleInstanceLock().acquireAt(path("killed.lock")), Result::Acquired);

    ASSERT_EQ(symlink(path("victim").c_str(), path("link.lock").c_str()), 0);
    ASSERT_EQ(SingleInstanceLock().acquireAt(path("shared.lock")), Result::Acquired);
    ASSERT_EQ(chmod(path("shared.lock").c_str(), 0666), 0);
    ASSERT_EQ(mkdir(path("dir.lock").c_str(), 0700), 0);
    for (const char* name : {"link.lock", "shared.lock", "dir.lock"}) {
        SingleInstanceLock lock;
        EXPECT_EQ(lock.acquireAt(path(name)), Result::Unavailable) << name;
        EXPECT_FALSE(lock.problem().empty());
    }
    EXPECT_NE(stat(path("victim").c_str(), &st), 0);  // nothing created through the link
}

// $XDG_RUNTIME_DIR when it names an absolute path, else a per-user fallback.
TEST(SingleInstanceLock, RuntimeDirectoryFirstThenPerUserFallback) {
    const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
    const std::string id = "io.github.sendhold.LockTest";
    for (const char* bad : {"", "relative/dir"}) {
        setenv("XDG_RUNTIME_DIR", bad, 1);
        EXPECT_EQ(SingleInstanceLock::runtimePath(id), "");
    }
    setenv("XDG_RUNTIME_DIR", "/nonexistent", 1);
    EXPECT_EQ(SingleInstanceLock::runtimePath(id), "/nonexistent/" + id + ".lock");
    SingleInstanceLock fallback;
    EXPECT_NE(fallback.acquire(id), Result::Unavailable);
    EXPECT_EQ(fallback.path(), "/tmp/" + id + "-" + std::to_string(getuid()) + ".lock");
    qputenv("XDG_RUNTIME_DIR", saved);
}
