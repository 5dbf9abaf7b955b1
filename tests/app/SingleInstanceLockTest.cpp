#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <cstdlib>

#include "platform/linux/SingleInstanceLock.h"

namespace sendhold {
namespace {

using Result = SingleInstanceLock::Result;

class SingleInstanceLockTest : public testing::Test {
  protected:
    std::string path(const char* name) const { return (dir.path() + "/" + name).toStdString(); }
    QTemporaryDir dir;
};

TEST_F(SingleInstanceLockTest, OneHolderAtATimeAndFreedWhenTheHolderGoes) {
    const std::string lockPath = path("app.lock");
    auto first = std::make_unique<SingleInstanceLock>();
    EXPECT_EQ(first->acquireAt(lockPath), Result::Acquired);
    SingleInstanceLock second;
    EXPECT_EQ(second.acquireAt(lockPath), Result::HeldElsewhere);
    EXPECT_EQ(second.acquireAt(lockPath), Result::HeldElsewhere);  // asking again does not block
    first.reset();
    EXPECT_EQ(second.acquireAt(lockPath), Result::Acquired);

    struct stat st {};
    ASSERT_EQ(stat(lockPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(SingleInstanceLockTest, KernelReleasesTheLockOfAProcessThatDied) {
    const std::string lockPath = path("app.lock");
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        SingleInstanceLock lock;
        const char answer = lock.acquireAt(lockPath) == Result::Acquired ? 'y' : 'n';
        (void)!write(ready[1], &answer, 1);
        pause();  // killed below, without any clean-up of its own
        _exit(0);
    }
    char answer = 0;
    ASSERT_EQ(read(ready[0], &answer, 1), 1);
    ASSERT_EQ(answer, 'y');
    SingleInstanceLock mine;
    EXPECT_EQ(mine.acquireAt(lockPath), Result::HeldElsewhere);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(mine.acquireAt(lockPath), Result::Acquired);
    close(ready[0]);
    close(ready[1]);
}

TEST_F(SingleInstanceLockTest, RefusesPlantedOrSharedFiles) {
    // A symlink planted where the lock goes is not followed.
    const std::string target = path("victim");
    const std::string link = path("link.lock");
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    SingleInstanceLock lock;
    EXPECT_EQ(lock.acquireAt(link), Result::Unavailable);
    EXPECT_FALSE(lock.problem().empty());
    struct stat st {};
    EXPECT_NE(stat(target.c_str(), &st), 0);  // nothing created through the link

    // A lock file that others may write is not trusted.
    const std::string shared = path("shared.lock");
    ASSERT_EQ(SingleInstanceLock().acquireAt(shared), Result::Acquired);
    ASSERT_EQ(chmod(shared.c_str(), 0666), 0);
    EXPECT_EQ(lock.acquireAt(shared), Result::Unavailable);

    // A directory in its place neither.
    const std::string directory = path("dir.lock");
    ASSERT_EQ(mkdir(directory.c_str(), 0700), 0);
    EXPECT_EQ(lock.acquireAt(directory), Result::Unavailable);
}

TEST_F(SingleInstanceLockTest, RuntimeDirectoryFirstThenPerUserFallback) {
    const char* saved = std::getenv("XDG_RUNTIME_DIR");
    const std::string savedValue = saved ? saved : "";
    const std::string id = "io.github.sendhold.LockTest";

    setenv("XDG_RUNTIME_DIR", dir.path().toLocal8Bit().constData(), 1);
    EXPECT_EQ(SingleInstanceLock::runtimePath(id), path("io.github.sendhold.LockTest.lock"));
    SingleInstanceLock lock;
    EXPECT_EQ(lock.acquire(id), Result::Acquired);
    EXPECT_EQ(lock.path(), SingleInstanceLock::runtimePath(id));

    // Relative or empty values are not a runtime directory.
    for (const char* bad : {"", "relative/dir"}) {
        setenv("XDG_RUNTIME_DIR", bad, 1);
        EXPECT_EQ(SingleInstanceLock::runtimePath(id), "");
    }
    // A runtime directory that does not exist falls back to the per-user path.
    setenv("XDG_RUNTIME_DIR", path("missing").c_str(), 1);
    SingleInstanceLock fallback;
    EXPECT_NE(fallback.acquire(id), Result::Unavailable);
    EXPECT_EQ(fallback.path(), SingleInstanceLock::fallbackPath(id));
    EXPECT_NE(fallback.path().find(std::to_string(getuid())), std::string::npos);

    if (saved)
        setenv("XDG_RUNTIME_DIR", savedValue.c_str(), 1);
    else
        unsetenv("XDG_RUNTIME_DIR");
}

}  // namespace
}  // namespace sendhold
