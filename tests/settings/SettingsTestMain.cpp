#include <gtest/gtest.h>

#include <QApplication>
#include <QTemporaryDir>

#include "Localization.h"

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
