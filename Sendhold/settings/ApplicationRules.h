#pragma once

#include <QObject>
#include <QString>

namespace sendhold {

class Preferences;

// The per-application rule: the guard works while its switch is on and the
// application in front is not on the stored list of applications without the
// guard. Kept in the shared KeyboardManager's isOffInFrontApplication (which
// the in-process guard reads) and announced, for the keyboard service, by
// effectiveGuardChanged.
class ApplicationRules final : public QObject {
    Q_OBJECT
  public:
    static ApplicationRules& shared();
    explicit ApplicationRules(Preferences& preferences, QObject* parent = nullptr);

    // Whether something reports the application in front on this desktop.
    // Without it rules do not apply, and the panel has no row for them.
    bool isTracking() const { return tracking_; }
    void setTracking(bool tracking);

    // The application in front, as the front watches report it ("" when unknown).
    QString frontApplication() const { return front_; }
    void setFrontApplication(const QString& applicationId);

    // Whether the guard works in `applicationId` (always, for "").
    bool isGuardOnIn(const QString& applicationId) const;
    void setGuardOnIn(const QString& applicationId, bool on);

    // The switch and the rule together: what the guard does now.
    bool effectiveGuard() const;

  signals:
    void trackingChanged(bool tracking);
    // The rule's part of the effective guard may have changed (another
    // application came to the front, or the list changed).
    void effectiveGuardChanged();

  private:
    void apply();

    Preferences& preferences_;
    QString front_;
    bool tracking_ = false;
};

}  // namespace sendhold
