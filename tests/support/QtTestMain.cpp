// Qt Widgets tests run offscreen, in English, with a private home and
// configuration folder, so that no display is needed and the real ones stay untouched.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTemporaryDir>

#include "localization/Localization.h"

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir home;
    for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME"})
        qputenv(name, QFile::encodeName(home.path() + '/' + name));
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    sendhold::setPreferredLanguagesSource([] { return QStringList{QStringLiteral("en")}; });
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
