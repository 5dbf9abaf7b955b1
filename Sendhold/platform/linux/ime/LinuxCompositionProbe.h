#pragma once

namespace sendhold {
// Starts watching the input-method frameworks on the main loop and binds the guard's probe.
// Needs a QCoreApplication. Safe when no framework runs (answers false).
void installCompositionProbe();
}  // namespace sendhold
