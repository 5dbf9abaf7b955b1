#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <cstdio>
#include <functional>

#include "QtPrinters.h"

namespace sendhold {

// Every test gets an empty $XDG_CONFIG_HOME of its own.
class FreshConfigHome : public ::testing::Test {
  protected:
    FreshConfigHome() { qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir_.path())); }
    QString configHome() const { return dir_.path(); }
    QTemporaryDir dir_;
};

// Writes in place, or (`replace`) as many editors save: a new file renamed over the old.
inline void writeFile(const QString& path, const QByteArray& contents, bool replace = false) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(replace ? path + ".new" : path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
                file.write(contents) == contents.size() && file.flush());
    ASSERT_TRUE(!replace ||
                ::rename(QFile::encodeName(file.fileName()), QFile::encodeName(path)) == 0);
}

inline QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// What `action` wrote to a descriptor (standard output by default).
inline QByteArray capture(const std::function<void()>& action, int fd = STDOUT_FILENO) {
    QTemporaryFile sink;
    if (!sink.open()) return "(no temporary file)";
    std::fflush(nullptr);
    const int saved = ::dup(fd);
    ::dup2(sink.handle(), fd);
    action();
    std::fflush(nullptr);
    ::dup2(saved, fd);
    ::close(saved);
    sink.seek(0);
    return sink.readAll();
}

}  // namespace sendhold
