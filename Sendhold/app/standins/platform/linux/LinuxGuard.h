#pragma once
// Stand-in until the tap branch is merged.
namespace sendhold {
void installLinuxGuardSeams();
}
