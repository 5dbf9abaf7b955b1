#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QString>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <cstdio>
#include <functional>
#include <ostream>

// Failure messages show texts as UTF-8 rather than as raw bytes.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace sendhold {

// Every test gets an empty $XDG_CONFIG_HOME of its own.
class FreshConfigHome : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir_.path()));
    }
    QString configHome() const { return dir_.path(); }

  private:
    QTemporaryDir dir_;
};

// Writes `contents` to `path` in place, creating its folder.
inline void writeFile(const QString& path, const QByteArray& contents) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(file.write(contents), contents.size());
}

// Writes a new file next to `path` and renames it over `path`, as many editors save.
inline void replaceFile(const QString& path, const QByteArray& contents) {
    QDir().mkpath(QFileInfo(path).path());
    QSaveFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(contents);
    ASSERT_TRUE(file.commit());
}

inline QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Runs `action` with a descriptor (standard output by default) sent to a file
// and answers what was written there.
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
