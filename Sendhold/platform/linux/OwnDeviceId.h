#pragma once

#include <linux/input.h>

namespace sendhold {

// The identity of the devices Sendhold creates. The tap recognises its own
// devices (and those of another running copy) by it and never takes them.
inline constexpr unsigned short kOwnBusType = BUS_VIRTUAL;
inline constexpr unsigned short kOwnVendorId = 0x5348;   // "SH"
inline constexpr unsigned short kOwnProductId = 0x0d0a;  // CR LF

}  // namespace sendhold
