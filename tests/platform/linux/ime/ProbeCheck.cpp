// A test driver running the composition probe on a Qt main loop; one command
// a line on standard input, one answer a line ("ready" once the loop runs):
//   q          hasMarkedText(): 0|1
//   k <ms>     read one message at a time until a key waits for its outcome
//              (at most <ms>), then ask: "<answer 0|1> <key seen 0|1>"
//   w <ibus|fcitx> <ms>  run the loop until that watcher is up: 0|1
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <chrono>
#include <iostream>
#include <sstream>

#include "platform/linux/ime/ImeCompositionProbe.h"

using namespace std::chrono;

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    sendhold::ime::ImeCompositionProbe probe;
    QSocketNotifier input(0, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        std::string line, command, fw;
        if (!std::getline(std::cin, line)) return app.quit();
        std::istringstream words(line);
        int ms = 1000;
        words >> command;
        auto deadline = [&] { return steady_clock::now() + milliseconds(ms); };
        if (command == "q") {
            std::cout << probe.hasMarkedText() << std::endl;
        } else if (command == "k" && words >> ms) {
            const auto end = deadline();
            while (!probe.keyOutstanding() && steady_clock::now() < end) probe.drain(1);
            const bool seen = probe.keyOutstanding();
            std::cout << probe.hasMarkedText() << " " << seen << std::endl;
        } else if (command == "w" && words >> fw >> ms) {
            auto up = [&] { return fw == "ibus" ? probe.ibusWatching() : probe.fcitxWatching(); };
            // Once up, the match rules that follow the first exchange get a moment.
            for (auto end = deadline(); steady_clock::now() < end;) {
                if (up() && end > steady_clock::now() + 100ms) end = steady_clock::now() + 100ms;
                QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            }
            std::cout << up() << std::endl;
        }
    });
    QTimer::singleShot(0, [] { std::cout << "ready" << std::endl; });
    return app.exec();
}
