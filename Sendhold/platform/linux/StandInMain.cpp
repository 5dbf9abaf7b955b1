// The sendhold program until the application with its tray icon takes over:
// the guard alone, in a Qt event loop.
#include <QCoreApplication>

#include "KeyboardManager/KeyboardManager.h"
#include "LinuxGuard.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    sendhold::installLinuxGuardSeams();
    sendhold::KeyboardManager::shared().startMonitoring();
    return QCoreApplication::exec();
}
