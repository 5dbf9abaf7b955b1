#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
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

  private:
    QTemporaryDir dir_;
};

// Writes in place, or (`replace`) as many editors save: a new file renamed over the old.
inline void writeFile(const QString& path, const QByteArray& contents, bool replace = false) {
    QDir().mkpath(QFileInfo(path).path());
    QSaveFile saved(path);
    QFile inPlace(path);
    QIODevice& file = replace ? static_cast<QIODevice&>(saved) : inPlace;
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(file.write(contents), contents.size());
    if (replace) {
        ASSERT_TRUE(saved.commit());
    }
}
inline void replaceFile(const QString& path, const QByteArray& contents) {
    writeFile(path, contents, true);
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
