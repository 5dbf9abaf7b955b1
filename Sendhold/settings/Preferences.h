#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <optional>

#include "SmallFileReader.h"

class QFileSystemWatcher;
class QTimer;

namespace sendhold {

// The stored preferences, kept in a QSettings file in native format:
// "longPressDuration" (seconds, a double) and "guardOffApplications" (the ids
// of the applications where the guard stays off, a list). The file is the truth, but it is read
// only when it changes (a watcher sees edits by other programs) and when it is written: the
// readers, the guard's key path among them, answer from memory.
class Preferences final : public QObject {
    Q_OBJECT
  public:
    static constexpr char kLongPressDurationKey[] = "longPressDuration";
    static constexpr char kGuardOffApplicationsKey[] = "guardOffApplications";

    // The process's store at defaultFilePath(), made on first use.
    static Preferences& standard();
    // $XDG_CONFIG_HOME/io.github.sendhold/Sendhold.conf (organization and
    // application name taken from the application id).
    static QString defaultFilePath();

    explicit Preferences(QString filePath, QObject* parent = nullptr);
    ~Preferences() override;

    QString filePath() const { return path_; }

    // The stored number, or nothing when the key is absent or does not hold a
    // finite number. Never touches the file.
    std::optional<double> storedLongPressDuration() const;
    // What the panel shows: the stored number, else defaultLongPressDuration.
    double longPressDuration() const { return shownValue(); }
    // Stores the number at once. When the file cannot be written, the number
    // still holds for both readers until the file changes or a write succeeds.
    void setLongPressDuration(double seconds);

    // Whether `applicationId` (cleaned, non-empty) is on the list. Entries that
    // are not usable ids (hand-edited junk) match nothing.
    bool isGuardOffIn(const QString& applicationId) const;
    // Adds or removes the id and stores the list at once; entries it does not
    // touch stay as they are in the file, junk included. When the file cannot
    // be written, the change holds for this session like the duration's.
    void setGuardOffIn(const QString& applicationId, bool off);

    // Reads the file again now (the watcher does this after every change).
    // A file that cannot be read safely (not a regular file, over 64 KiB,
    // unreadable) leaves the last good number in place, with one line on
    // standard error.
    void reload();

  signals:
    // The panel's value changed, whoever changed it.
    void longPressDurationChanged(double seconds);
    // The list of applications without the guard changed, whoever changed it.
    void guardOffApplicationsChanged();

  private:
    // Sets (or, given an invalid value, removes) one key in the file; false when
    // the file could not be written. Reads the file back either way.
    bool write(const char* key, const QVariant& value);
    void refreshFromFile();
    double shownValue() const;
    const QStringList& offList() const {
        return sessionOffList_ ? *sessionOffList_ : storedOffList_;
    }
    void announceIfChanged();
    void watchFile();
    void fileEvent();

    QString path_;
    std::optional<SmallFileRead> lastRead_;
    std::optional<double> stored_;
    std::optional<double> sessionValue_;
    // The list as stored (raw entries) and a change that could not be saved.
    QStringList storedOffList_;
    std::optional<QStringList> sessionOffList_;
    QStringList announcedOffList_;
    double announced_ = 0;
    // Children of this object: Qt deletes them with it.
    QFileSystemWatcher* watcher_;
    QTimer* settle_;
};

}  // namespace sendhold
