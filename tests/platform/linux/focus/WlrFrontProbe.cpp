// Runs the wlroots front-application watch on its own and prints each report
// as "<CLOCK_MONOTONIC ns> <id>", for the sway check and the latency benchmark.
// Exits 3 when the watch does not start.
#include <time.h>

#include <cstdio>

#include "platform/linux/SdEventMainLoop.h"
#include "platform/linux/focus/FrontWatches.h"

int main() {
    sendhold::SdEventMainLoop loop;
    auto watch = sendhold::watchWlrFront(loop, [](const std::string& id) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        std::printf("%lld %s\n", now.tv_sec * 1000000000LL + now.tv_nsec, id.c_str());
        std::fflush(stdout);
    });
    if (!watch) return 3;
    return loop.run();
}
