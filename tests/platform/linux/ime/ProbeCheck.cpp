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
#include <iostream>
#include <sstream>
#include <string>

#include "ImeCompositionProbe.h"

using namespace std::chrono;

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    sendhold::ime::ImeCompositionProbe probe;
    auto runFor = [](milliseconds ms, auto done) {
        const auto until = steady_clock::now() + ms;
        while (!done() && steady_clock::now() < until) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        }
    };
    auto answer = [&] {
        const auto start = steady_clock::now();
        const bool marked = probe.hasMarkedText();
        return std::to_string(marked ? 1 : 0) + " " +
               std::to_string(duration_cast<microseconds>(steady_clock::now() - start).count());
    };
    QSocketNotifier input(0, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        std::string line, command, which;
        if (!std::getline(std::cin, line)) return app.quit();
        std::istringstream words(line);
        int ms = 1000;
        words >> command;
        if (command == "q") {
            std::cout << answer() << std::endl;
        } else if (command == "k" && words >> ms) {
            // Reads the buses one message at a time: the key is seen as soon
            // as it goes out, before its answer.
            const auto until = steady_clock::now() + milliseconds(ms);
            bool seen = false;
            while (!(seen = probe.keyOutstanding()) && steady_clock::now() < until) probe.drain(1);
            std::cout << answer() << " " << (seen ? 1 : 0) << std::endl;
        } else if (command == "w" && words >> which >> ms) {
            auto up = [&] {
                return which == "ibus" ? probe.ibusWatching() : probe.fcitxWatching();
            };
            runFor(milliseconds(ms), up);
            // The match rules follow the first exchange; give them a moment.
            runFor(100ms, [] { return false; });
            std::cout << (up() ? 1 : 0) << std::endl;
        } else {
            std::cout << "?" << std::endl;
        }
    });
    QTimer::singleShot(0, [] { std::cout << "ready" << std::endl; });
    return app.exec();
}
