#pragma once

#include <string>

#include "InputSystem.h"

namespace sendhold {

// What keeps the keyboard hook from running (uinput, the input nodes), and how
// to grant it, as one line; empty when nothing is missing.
std::string missingAccess(InputSystem& system);

}  // namespace sendhold
