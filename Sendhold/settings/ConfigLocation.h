#pragma once

#include <QString>

namespace sendhold {

// The user's configuration directory: $XDG_CONFIG_HOME when it is an absolute
// path (relative values are invalid and ignored), else ~/.config. Read afresh on
// each call so that a changed environment is followed.
QString userConfigDirectory();

}  // namespace sendhold
