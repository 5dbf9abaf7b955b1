#pragma once

#include <gtest/gtest.h>

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>
#include <functional>

namespace sendhold {

// Every test gets an empty $XDG_CONFIG_HOME of its own.
class FreshConfigHome : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    QString configHome() const { return dir_.path(); }

  private:
    QTemporaryDir dir_;
    QByteArray previous_;
};

// Writes `contents` to `path` in place, creating its folder.
void writeFile(const QString& path, const QByteArray& contents);
// Writes a new file next to `path` and renames it over `path`, as many editors save.
void replaceFile(const QString& path, const QByteArray& contents);
QByteArray readFile(const QString& path);

// Runs `action` with standard output sent to a file and answers what it printed.
QByteArray captureStdout(const std::function<void()>& action);

}  // namespace sendhold
