// Widgets tests run on the offscreen platform, in English: no display needed.
#include <gtest/gtest.h>

#include <QApplication>

#include "Localization.h"

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    sendhold::setPreferredLanguagesSource([] { return QStringList{QStringLiteral("en")}; });
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
