#include "Preferences.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QSettings>
#include <QTemporaryFile>
#include <QTimer>
#include <cmath>

#include "ApplicationId.h"
#include "ConfigLocation.h"
#include "Diagnostics.h"
#include "KeyboardManager/KeyboardManager.h"
#include "focus/FrontApplication.h"

namespace sendhold {
namespace {

// Edits usually arrive as several file system events (truncate, write, rename);
// reading once they have settled avoids showing a half-written file.
constexpr int kSettleMilliseconds = 20;

std::optional<double> durationFrom(const QVariant& value) {
    if (!value.isValid()) return std::nullopt;
    bool ok = false;
    const double seconds = value.toDouble(&ok);
    if (!ok || !std::isfinite(seconds)) return std::nullopt;
    return seconds;
}

// Entries kept from a list read from the file: at most this many, each a
// string (QSettings reads a lone entry as a string, several as a list).
constexpr qsizetype kMaxListedApplications = 1000;

QStringList listFrom(const QVariant& value) {
    QStringList list = value.toStringList();
    if (list.size() > kMaxListedApplications) list.resize(kMaxListedApplications);
    return list;
}

// An entry or a report as the list compares it: "" when it is no usable id.
QString cleanedId(const QString& raw) {
    return QString::fromStdString(focus::cleanApplicationId(raw.toStdString()));
}

struct StoredValues {
    std::optional<double> duration;
    QStringList offList;
};

StoredValues valuesOf(const QSettings& settings) {
    return {durationFrom(settings.value(QLatin1String(Preferences::kLongPressDurationKey))),
            listFrom(settings.value(QLatin1String(Preferences::kGuardOffApplicationsKey)))};
}

// QSettings keeps each parsed file in a process-wide cache keyed by its path and
// parses it again only when its size or modification time changed. A rewrite of
// the same size within one tick of the file system's clock would go unseen, so
// the bytes just read are parsed under a path of their own instead.
StoredValues parseStored(const QByteArray& bytes, const QString& storePath) {
    QTemporaryFile copy(QDir::tempPath() + QStringLiteral("/sendhold-settings-XXXXXX.conf"));
    if (copy.open() && copy.write(bytes) == bytes.size() && copy.flush()) {
        return valuesOf(QSettings(copy.fileName(), QSettings::NativeFormat));
    }
    // No usable temporary directory: the store's own reading is right in all but
    // that rare case.
    return valuesOf(QSettings(storePath, QSettings::NativeFormat));
}

}  // namespace

Preferences& Preferences::standard() {
    static Preferences* const store = new Preferences(defaultFilePath());
    return *store;
}

QString Preferences::defaultFilePath() {
    const QString id = QString::fromLatin1(kApplicationId);
    const qsizetype lastDot = id.lastIndexOf(QLatin1Char('.'));
    const QString organization = id.left(lastDot);
    const QString application = id.mid(lastDot + 1);
    return userConfigDirectory() + QLatin1Char('/') + organization + QLatin1Char('/') +
           application + QStringLiteral(".conf");
}

Preferences::Preferences(QString filePath, QObject* parent)
    : QObject(parent),
      path_(std::move(filePath)),
      watcher_(new QFileSystemWatcher(this)),
      settle_(new QTimer(this)) {
    settle_->setSingleShot(true);
    settle_->setInterval(kSettleMilliseconds);
    connect(settle_, &QTimer::timeout, this, &Preferences::fileEvent);
    connect(watcher_, &QFileSystemWatcher::fileChanged, settle_, qOverload<>(&QTimer::start));
    connect(watcher_, &QFileSystemWatcher::directoryChanged, settle_, qOverload<>(&QTimer::start));
    watchFile();
    refreshFromFile();
    announced_ = shownValue();
    announcedOffList_ = offList();
}

Preferences::~Preferences() = default;

std::optional<double> Preferences::storedLongPressDuration() const {
    return sessionValue_ ? sessionValue_ : stored_;
}

void Preferences::reload() {
    refreshFromFile();
    announceIfChanged();
}

bool Preferences::write(const char* key, const QVariant& value) {
    // QSettings reads the file before writing it: only a file that reads safely
    // is handed to it.
    bool written = false;
    if (readSmallRegularFile(path_).outcome != SmallFileRead::Outcome::Failed) {
        QSettings store(path_, QSettings::NativeFormat);
        if (value.isValid()) {
            store.setValue(QLatin1String(key), value);
        } else {
            store.remove(QLatin1String(key));
        }
        store.sync();
        written = store.status() == QSettings::NoError;
    }
    refreshFromFile();
    return written;
}

void Preferences::setLongPressDuration(double seconds) {
    if (!std::isfinite(seconds)) return;
    const bool written = write(kLongPressDurationKey, seconds);
    if (written) {
        // The file now holds exactly this number; no need to parse it back.
        stored_ = seconds;
        sessionValue_.reset();
    } else {
        sessionValue_ = seconds;
    }
    announceIfChanged();
}

bool Preferences::isGuardOffIn(const QString& applicationId) const {
    if (applicationId.isEmpty()) return false;
    for (const QString& entry : offList()) {
        if (cleanedId(entry) == applicationId) return true;
    }
    return false;
}

void Preferences::setGuardOffIn(const QString& applicationId, bool off) {
    const QString id = cleanedId(applicationId);
    if (id.isEmpty() || isGuardOffIn(id) == off) return;
    QStringList list = offList();
    if (off) {
        list.append(id);
    } else {
        list.removeIf([&](const QString& entry) { return cleanedId(entry) == id; });
    }
    const bool written =
        write(kGuardOffApplicationsKey, list.isEmpty() ? QVariant() : QVariant(list));
    if (written) {
        storedOffList_ = list;
        sessionOffList_.reset();
    } else {
        sessionOffList_ = list;
    }
    announceIfChanged();
}

void Preferences::refreshFromFile() {
    SmallFileRead read = readSmallRegularFile(path_);
    if (read == lastRead_) return;
    const bool first = !lastRead_;
    lastRead_ = read;
    if (read.outcome == SmallFileRead::Outcome::Failed) {
        warn(QStringLiteral("cannot read %1: %2; keeping the duration %3 s")
                 .arg(path_, read.error, QString::number(shownValue()))
                 .toStdString());
        return;
    }
    // A value that could not be saved lasts only until the file itself changes:
    // the newer edit on disk wins.
    if (!first) {
        sessionValue_.reset();
        sessionOffList_.reset();
    }
    StoredValues values;
    if (read.outcome == SmallFileRead::Outcome::Read) values = parseStored(read.bytes, path_);
    stored_ = values.duration;
    storedOffList_ = values.offList;
}

double Preferences::shownValue() const {
    return (sessionValue_ ? sessionValue_ : stored_).value_or(defaultLongPressDuration);
}

void Preferences::announceIfChanged() {
    const double shown = shownValue();
    if (shown != announced_) {
        announced_ = shown;
        emit longPressDurationChanged(shown);
    }
    if (offList() != announcedOffList_) {
        announcedOffList_ = offList();
        emit guardOffApplicationsChanged();
    }
}

void Preferences::watchFile() {
    // Watch the file and its folder: editors that save by writing a new file and
    // renaming it over the old one end the file watch, the folder watch sees it.
    // While the folder does not exist yet, watch the nearest existing ancestor.
    QStringList wanted;
    if (QFileInfo::exists(path_)) wanted << path_;
    QDir folder = QFileInfo(path_).absoluteDir();
    while (!folder.exists() && !folder.isRoot()) folder.setPath(QFileInfo(folder.path()).path());
    wanted << folder.path();

    // Watches are set up afresh each time: a file watch may still follow the
    // replaced file's old inode. The file is read after this, so nothing that
    // happens in between is missed.
    const QStringList current = watcher_->files() + watcher_->directories();
    if (!current.isEmpty()) watcher_->removePaths(current);
    watcher_->addPaths(wanted);
}

void Preferences::fileEvent() {
    watchFile();
    reload();
}

}  // namespace sendhold
