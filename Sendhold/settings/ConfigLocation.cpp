#include "ConfigLocation.h"

#include <QDir>
#include <QFile>

namespace sendhold {

QString userConfigDirectory() {
    const QString fromEnvironment = QFile::decodeName(qgetenv("XDG_CONFIG_HOME"));
    if (QDir::isAbsolutePath(fromEnvironment)) return QDir::cleanPath(fromEnvironment);
    return QDir::homePath() + QStringLiteral("/.config");
}

}  // namespace sendhold
