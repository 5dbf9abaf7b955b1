#include "SmallFileReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>
#include <cstring>

namespace sendhold {
namespace {

SmallFileRead failed(const QString& why) {
    return {SmallFileRead::Outcome::Failed, {}, why};
}

SmallFileRead fromErrno() {
    if (errno == ENOENT || errno == ENOTDIR) return {};
    return failed(QString::fromLocal8Bit(std::strerror(errno)));
}

bool regularFile(const struct stat& info) {
    return S_ISREG(info.st_mode);
}

class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

}  // namespace

SmallFileRead readSmallRegularFile(const QString& path, qsizetype limit) {
    const QByteArray name = QFile::encodeName(path);
    // The type is looked at before opening (opening some devices has effects
    // of its own) and again on what was opened, in case the path changed.
    struct stat info {};
    if (::stat(name.constData(), &info) != 0) return fromErrno();
    if (!regularFile(info)) return failed(QStringLiteral("not a regular file"));
    const Descriptor file(::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0) return fromErrno();
    if (::fstat(file.get(), &info) != 0) return fromErrno();
    if (!regularFile(info)) return failed(QStringLiteral("not a regular file"));
    const QString tooLarge = QStringLiteral("larger than %1 KiB").arg(limit / 1024);
    if (info.st_size > limit) return failed(tooLarge);

    // One byte more than the limit tells a file that grew meanwhile.
    QByteArray bytes(limit + 1, Qt::Uninitialized);
    qsizetype total = 0;
    while (total < bytes.size()) {
        const ssize_t got = ::read(file.get(), bytes.data() + total, bytes.size() - total);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return fromErrno();
        if (got == 0) break;
        total += got;
    }
    if (total > limit) return failed(tooLarge);
    bytes.truncate(total);
    return {SmallFileRead::Outcome::Read, bytes, {}};
}

}  // namespace sendhold
