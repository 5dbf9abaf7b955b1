// A plain window whose application id is the first argument: WM_CLASS on X11
// (instance and class), app_id on Wayland. The desktop checks open two of
// these to have two applications to switch between. A second argument names
// the window's colour.
#include <QApplication>
#include <QWidget>

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    qputenv("RESOURCE_NAME", argv[1]);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QString::fromLocal8Bit(argv[1]));
    QApplication::setDesktopFileName(QString::fromLocal8Bit(argv[1]));
    QWidget window;
    window.setWindowTitle(QString::fromLocal8Bit(argv[1]));
    window.setStyleSheet(QStringLiteral("background: %1").arg(argc > 2 ? argv[2] : "gray"));
    window.resize(320, 200);
    window.show();
    return app.exec();
}
