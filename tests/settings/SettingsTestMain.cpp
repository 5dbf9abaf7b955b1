#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTemporaryFile>
#include <cstdio>

#include "Localization.h"
#include "SettingsTestSupport.h"

namespace sendhold {

void FreshConfigHome::SetUp() {
    ASSERT_TRUE(dir_.isValid());
    previous_ = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir_.path()));
}

void FreshConfigHome::TearDown() {
    qputenv("XDG_CONFIG_HOME", previous_);
}

void writeFile(const QString& path, const QByteArray& contents) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(file.write(contents), contents.size());
}

void replaceFile(const QString& path, const QByteArray& contents) {
    QDir().mkpath(QFileInfo(path).path());
    QSaveFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(contents);
    ASSERT_TRUE(file.commit());
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray captureStdout(const std::function<void()>& action) {
    QTemporaryFile sink;
    if (!sink.open()) return "(no temporary file)";
    std::fflush(stdout);
    const int saved = ::dup(STDOUT_FILENO);
    ::dup2(sink.handle(), STDOUT_FILENO);
    action();
    std::fflush(stdout);
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    sink.seek(0);
    return sink.readAll();
}

}  // namespace sendhold

int main(int argc, char** argv) {
    // No display is needed; the configuration never touches the real home.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir home;
    qputenv("HOME", QFile::encodeName(home.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path() + "/.config"));
    QApplication app(argc, argv);
    sendhold::setPreferredLanguagesSource([] { return QStringList{QStringLiteral("en")}; });
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
