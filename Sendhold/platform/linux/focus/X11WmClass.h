#pragma once

#include <string>
#include <string_view>

namespace sendhold::x11 {

// The application id in a window's WM_CLASS value ("instance\0class\0"): the
// class, or the instance when the class is empty; "" when it holds neither.
// `complete` is false when the value was cut short on reading: a part without
// its closing NUL may then be cut too, and is not taken.
std::string applicationIdFromWmClass(std::string_view value, bool complete);

}  // namespace sendhold::x11
