#pragma once

#include <iosfwd>

namespace sendhold {

// Drives a KeyboardManager on a virtual clock from a trace read from `in` and
// writes what it does to `out`. Returns the exit status: 0, or 2 after a
// malformed line (reported on `err` with its line number).
int runReplay(std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace sendhold
