// A test driver around the composition probe: runs it on a Qt main loop and
// answers one command per line on standard input.
//   q        ask hasMarkedText(); prints "<0|1> <microseconds>"
//   k <ms>   let the loop run until a key is seen waiting for its outcome (at
//            most <ms>), then ask; prints "<0|1> <microseconds> <key seen 0|1>"
//   w <ibus|fcitx> <ms>
//            let the loop run until that watcher is up (at most <ms>); prints 0|1
// Prints "ready" once the main loop runs.
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>

#include "ImeCompositionProbe.h"

using namespace std::chrono;

namespace {
std::string answer(sendhold::ime::ImeCompositionProbe& probe) {
    const auto start = steady_clock::now();
    const bool marked = probe.hasMarkedText();
    const auto us = duration_cast<microseconds>(steady_clock::now() - start).count();
    return std::to_string(marked ? 1 : 0) + " " + std::to_string(us);
}
}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    sendhold::ime::ImeCompositionProbe probe;
    QSocketNotifier input(0, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        std::string line;
        if (!std::getline(std::cin, line)) {
            app.quit();
            return;
        }
        std::istringstream words(line);
        std::string command;
        words >> command;
        if (command == "q") {
            std::cout << answer(probe) << std::endl;
        } else if (command == "k") {
            int ms = 1000;
            words >> ms;
            const auto until = steady_clock::now() + milliseconds(ms);
            bool seen = false;
            while (!(seen = probe.keyOutstanding()) && steady_clock::now() < until) {
                probe.drain();
            }
            std::cout << answer(probe) << " " << (seen ? 1 : 0) << std::endl;
        } else if (command == "w") {
            std::string which;
            int ms = 5000;
            words >> which >> ms;
            auto up = [&] {
                return which == "ibus" ? probe.ibusWatching() : probe.fcitxWatching();
            };
            const auto until = steady_clock::now() + milliseconds(ms);
            while (!up() && steady_clock::now() < until) {
                QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            }
            // The match rules follow the first exchange; give them a moment.
            const auto settle = steady_clock::now() + milliseconds(100);
            while (steady_clock::now() < settle) {
                QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            }
            std::cout << (up() ? 1 : 0) << std::endl;
        } else {
            std::cout << "?" << std::endl;
        }
    });
    QTimer::singleShot(0, [] { std::cout << "ready" << std::endl; });
    return app.exec();
}
