#pragma once

namespace sendhold {

// The one application id, in reverse-DNS form: the settings store, the desktop
// entry, the autostart entry, the icon and the single-instance lock are named after it.
inline constexpr char kApplicationId[] = "io.github.sendhold.Sendhold";
inline constexpr char kApplicationName[] = "Sendhold";
inline constexpr char kExecutableName[] = "sendhold";

}  // namespace sendhold
