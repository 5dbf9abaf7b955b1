#pragma once

#include <QString>

namespace sendhold {

// Launch at login through an XDG autostart entry of our own:
// $XDG_CONFIG_HOME/autostart/io.github.sendhold.Sendhold.desktop.
QString autostartFilePath();

// True when our autostart entry exists and is not disabled (Hidden=true or
// X-GNOME-Autostart-enabled=false turn it off). An unreadable entry is off: the
// session could not start it either.
bool isLaunchAtLoginOn();

// The entry that starts `executable` at login.
QString autostartEntryText(const QString& executable);

// The running program's absolute path (/usr/bin/sendhold when installed).
QString runningExecutablePath();

// Writes the entry atomically (a temporary file in the same folder, then a
// rename). On failure answers false and sets `error` to a plain description with
// the system's error text and the path.
bool registerLaunchAtLogin(QString* error);

// Removes the entry; an entry that is already absent is success.
bool unregisterLaunchAtLogin(QString* error);

}  // namespace sendhold
