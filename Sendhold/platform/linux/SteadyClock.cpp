#include "SteadyClock.h"

#include <chrono>

namespace sendhold {

double SteadyClock::now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace sendhold
