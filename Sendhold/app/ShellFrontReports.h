#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QObject>
#include <QString>
#include <map>
#include <optional>
#include <utility>

#include "focus/FrontApplication.h"

namespace sendhold {

// On GNOME and KDE Plasma under Wayland only the desktop shell knows which
// window is in front. A small plug-in inside the shell (a GNOME Shell extension,
// a KWin script, both shipped with Sendhold) tells Sendhold on the session bus:
// Report(s applicationId) at kShellFrontPath on kShellFrontInterface, with the
// focused window's class, or "" when no window has the focus.
inline constexpr char kShellFrontPath[] = "/io/github/sendhold/Sendhold/Front";
inline constexpr char kShellFrontInterface[] = "io.github.sendhold.FrontApplication";

// Takes those reports, but only from the process that owns org.gnome.Shell or
// org.kde.KWin right now: any other program on the bus could claim any
// application is in front. The owners are followed without waiting on the bus;
// a report that comes before they are known is held until they are. When the
// shell that reported leaves the bus, the application in front is unknown.
class ShellFrontReports : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "io.github.sendhold.FrontApplication")
  public:
    ShellFrontReports(QDBusConnection bus, focus::FrontSink sink, QObject* parent = nullptr);

    // Exports Report at kShellFrontPath. The bus name is asked for elsewhere
    // (ActivationService). Does nothing on a bus that is not connected.
    void publish();

  public slots:
    void Report(const QString& applicationId);

  private:
    void ownerKnown(const QString& shell, const QString& owner);
    bool isShell(const QString& sender) const;

    QDBusConnection bus_;
    focus::FrontSink sink_;
    std::map<QString, QString> owners_;                // shell name -> unique name ("" = none)
    int lookups_ = 0;                                  // owner look-ups still unanswered
    std::optional<std::pair<QString, QString>> held_;  // sender, id
    QString reporter_;                                 // the shell whose report counts
};

// The KWin script as installed (share/sendhold/kwin/sendhold-front.js under
// the XDG data directories); empty when it is not there.
QString installedKWinScript();

// Has KWin run the script at scriptPath, which reports to ShellFrontReports,
// now and whenever KWin comes back. A copy left loaded by an earlier Sendhold
// is unloaded first. Sends and returns; nothing waits for KWin's answers.
void loadKWinScript(QDBusConnection bus, QString scriptPath);

}  // namespace sendhold
