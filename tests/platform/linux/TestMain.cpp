#include <gtest/gtest.h>

#include <QCoreApplication>

// The tap lives on a Qt event loop; every test pumps this application's loop.
int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
