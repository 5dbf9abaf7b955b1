#pragma once

#include <QByteArray>
#include <QString>
#include <compare>

namespace sendhold {

inline constexpr qsizetype kSettingsFileLimit = 64 * 1024;

// One look at a small settings file.
struct SmallFileRead {
    enum class Outcome { Read, Missing, Failed };
    Outcome outcome = Outcome::Missing;
    QByteArray bytes;  // the contents when Read
    QString error;     // why not, when Failed
    bool operator==(const SmallFileRead&) const = default;
};

// Reads `path` without ever blocking: only a regular file (a symlink to one is
// followed) of at most `limit` bytes. A FIFO, a device, a folder or a larger
// file is Failed, and is never read.
SmallFileRead readSmallRegularFile(const QString& path, qsizetype limit = kSettingsFileLimit);

}  // namespace sendhold
