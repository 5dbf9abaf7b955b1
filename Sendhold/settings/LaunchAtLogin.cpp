#include "LaunchAtLogin.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>

#include "ApplicationId.h"
#include "ConfigLocation.h"
#include "DesktopEntry.h"

namespace sendhold {
namespace {

QString failure(const char* what, const QString& path, int error) {
    return QStringLiteral("could not %1 %2: %3")
        .arg(QLatin1String(what), path, QString::fromLocal8Bit(std::strerror(error)));
}

bool isTrue(const QString& value) {
    return value == QLatin1String("true") || value == "1";
}
bool isFalse(const QString& value) {
    return value == QLatin1String("false") || value == "0";
}

// mkdir -p with the error of the step that failed.
bool makeFolders(const QString& folder, QString* error) {
    QString built;
    for (const QString& part : folder.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        built += QLatin1Char('/') + part;
        const QByteArray native = QFile::encodeName(built);
        if (::mkdir(native.constData(), 0700) == 0 || errno == EEXIST) {
            struct stat info {};
            if (::stat(native.constData(), &info) == 0 && S_ISDIR(info.st_mode)) continue;
            *error = failure("create folder", built, ENOTDIR);
            return false;
        }
        *error = failure("create folder", built, errno);
        return false;
    }
    return true;
}

bool writeAll(int fd, const QByteArray& bytes) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += n;
    }
    return true;
}

}  // namespace

QString autostartFilePath() {
    return userConfigDirectory() + QStringLiteral("/autostart/") + QLatin1String(kApplicationId) +
           QStringLiteral(".desktop");
}

bool isLaunchAtLoginOn() {
    QFile file(autostartFilePath());
    if (!QFileInfo(file).isFile() || !file.open(QIODevice::ReadOnly)) return false;
    const QHash<QString, QString> entry = desktopEntryGroup(file.readAll());
    if (isTrue(entry.value(QStringLiteral("Hidden")))) return false;
    if (isFalse(entry.value(QStringLiteral("X-GNOME-Autostart-enabled")))) return false;
    return true;
}

QString runningExecutablePath() {
    if (QCoreApplication::instance()) return QCoreApplication::applicationFilePath();
    return QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
}

QString autostartEntryText(const QString& executable) {
    return QStringLiteral(
               "[Desktop Entry]\n"
               "Type=Application\n"
               "Name=%1\n"
               "Exec=%2\n"
               "Terminal=false\n"
               "X-GNOME-Autostart-enabled=true\n")
        .arg(QLatin1String(kApplicationName), escapeDesktopString(execArgument(executable)));
}

bool registerLaunchAtLogin(QString* error) {
    const QString path = autostartFilePath();
    const QString folder = QFileInfo(path).path();
    if (!makeFolders(folder, error)) return false;

    QByteArray temporary = QFile::encodeName(path) + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        *error = failure("write", path, errno);
        return false;
    }
    const QByteArray contents = autostartEntryText(runningExecutablePath()).toUtf8();
    bool ok = ::fchmod(fd, 0644) == 0 && writeAll(fd, contents) && ::fsync(fd) == 0;
    int savedErrno = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        savedErrno = errno;
    }
    if (ok && ::rename(temporary.constData(), QFile::encodeName(path).constData()) != 0) {
        ok = false;
        savedErrno = errno;
    }
    if (!ok) {
        ::unlink(temporary.constData());
        *error = failure("write", path, savedErrno);
    }
    return ok;
}

bool unregisterLaunchAtLogin(QString* error) {
    const QString path = autostartFilePath();
    if (::unlink(QFile::encodeName(path).constData()) == 0 || errno == ENOENT) return true;
    *error = failure("remove", path, errno);
    return false;
}

}  // namespace sendhold
