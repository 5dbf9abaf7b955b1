#pragma once

#include <iostream>
#include <string_view>

namespace sendhold {

// Where the program's lines go: problems on standard error, each starting
// "sendhold: ", and its few status lines on standard output, exactly as given.
// Tests point them at streams of their own. Never a keystroke.
struct DiagnosticStreams {
    std::ostream* problems = &std::cerr;
    std::ostream* status = &std::cout;
};

inline DiagnosticStreams& diagnosticStreams() {
    static DiagnosticStreams streams;
    return streams;
}

// One line on standard error: "sendhold: " and the line.
inline void warn(std::string_view line) {
    *diagnosticStreams().problems << "sendhold: " << line << std::endl;
}

// One status line on standard output, flushed at once.
inline void printStatus(std::string_view line) {
    *diagnosticStreams().status << line << std::endl;
}

}  // namespace sendhold
