#include "ApplicationRules.h"

#include "KeyboardManager/KeyboardManager.h"
#include "Preferences.h"

namespace sendhold {

ApplicationRules& ApplicationRules::shared() {
    static ApplicationRules* const rules = new ApplicationRules(Preferences::standard());
    return *rules;
}

ApplicationRules::ApplicationRules(Preferences& preferences, QObject* parent)
    : QObject(parent), preferences_(preferences) {
    connect(&preferences_, &Preferences::guardOffApplicationsChanged, this,
            &ApplicationRules::apply);
}

void ApplicationRules::setTracking(bool tracking) {
    if (tracking == tracking_) return;
    tracking_ = tracking;
    emit trackingChanged(tracking);
}

void ApplicationRules::setFrontApplication(const QString& applicationId) {
    // A report is proof that something reports.
    setTracking(true);
    if (applicationId == front_) return;
    front_ = applicationId;
    apply();
}

bool ApplicationRules::isGuardOnIn(const QString& applicationId) const {
    return !preferences_.isGuardOffIn(applicationId);
}

void ApplicationRules::setGuardOnIn(const QString& applicationId, bool on) {
    // The store announces the change, which applies it.
    preferences_.setGuardOffIn(applicationId, !on);
}

bool ApplicationRules::effectiveGuard() const {
    const KeyboardManager& guard = KeyboardManager::shared();
    return guard.isEnabled && !guard.isOffInFrontApplication;
}

void ApplicationRules::apply() {
    KeyboardManager::shared().isOffInFrontApplication = !isGuardOnIn(front_);
    emit effectiveGuardChanged();
}

}  // namespace sendhold
