#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <optional>

class QFileSystemWatcher;
class QTimer;

namespace sendhold {

// The one stored preference, "longPressDuration" (seconds, a double), kept in a
// QSettings file in native format. The file is the truth: every read looks at
// it again, and a watcher announces changes made by other programs.
class Preferences final : public QObject {
    Q_OBJECT
  public:
    static constexpr char kLongPressDurationKey[] = "longPressDuration";

    // The process's store at defaultFilePath(), made on first use.
    static Preferences& standard();
    // $XDG_CONFIG_HOME/io.github.sendhold/Sendhold.conf (organization and
    // application name taken from the application id).
    static QString defaultFilePath();

    explicit Preferences(QString filePath, QObject* parent = nullptr);
    ~Preferences() override;

    QString filePath() const { return path_; }

    // The stored number, or nothing when the key is absent or does not hold a
    // finite number. Looks at the file again on every call.
    std::optional<double> storedLongPressDuration();
    // What the panel shows: the stored number, else defaultLongPressDuration.
    double longPressDuration();
    // Stores the number at once. When the file cannot be written, the number
    // still holds for both readers until the file changes or a write succeeds.
    void setLongPressDuration(double seconds);

  signals:
    // The panel's value changed, whoever changed it.
    void longPressDurationChanged(double seconds);

  private:
    void refreshFromFile();
    double shownValue() const;
    void announceIfChanged();
    void watchFile();
    void fileEvent();

    QString path_;
    bool loaded_ = false;
    bool lastExisted_ = false;
    QByteArray lastBytes_;
    std::optional<double> stored_;
    std::optional<double> sessionValue_;
    double announced_ = 0;
    QFileSystemWatcher* watcher_;
    QTimer* settle_;
};

}  // namespace sendhold
