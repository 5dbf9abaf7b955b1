#include "GuardStart.h"

#include <sys/stat.h>

#include <memory>

#include "FrontTracking.h"
#include "KeyboardManager/KeyboardManager.h"
#include "ServiceLink.h"
#include "platform/linux/AccessCheck.h"
#include "platform/linux/LinuxGuard.h"
#include "platform/linux/ProcessSignals.h"
#include "platform/linux/UdevInputSystem.h"
#include "platform/linux/ime/BusConnection.h"
#include "platform/linux/ime/ImeCompositionProbe.h"
#include "platform/linux/ime/LinuxCompositionProbe.h"
#include "settings/ApplicationRules.h"
#include "settings/NotificationCenter.h"
#include "settings/Preferences.h"
#include "settings/PreferencesSeam.h"

namespace sendhold {
namespace {

// Direct mode only when there is no service to steer and this process may
// open the devices itself.
bool runsDirectly(const std::string& socketPath) {
    struct stat status {};
    if (::lstat(socketPath.c_str(), &status) == 0) return false;
    UdevInputSystem system;
    return missingAccess(system).empty();
}

std::shared_ptr<ServiceLink> steerService(const std::string& socketPath) {
    // Both live as long as the process: the bus hook and the observers use them.
    static auto probe = std::make_shared<ime::ImeCompositionProbe>();
    static auto link = std::make_shared<ServiceLink>(
        socketPath,
        SteeringSources{
            .guardOn = [] { return ApplicationRules::shared().effectiveGuard(); },
            .storedDuration = [] { return Preferences::standard().storedLongPressDuration(); },
            .composing = [] { return probe->composing(); },
            .compositionPending = [] { return probe->keyOutstanding(); },
        });
    const auto push = [] { link->pushState(); };
    NotificationCenter::defaultCenter().addObserver(kUpdateIconNotification, push);
    QObject::connect(&Preferences::standard(), &Preferences::longPressDurationChanged,
                     &Preferences::standard(), push);
    ime::BusConnection::setActivityHook(push);
    // Another application in front goes out at once, before the next key can.
    QObject::connect(&ApplicationRules::shared(), &ApplicationRules::effectiveGuardChanged,
                     &ApplicationRules::shared(), push);
    KeyboardManager::shared().bindSeams({.probe = probe, .tap = link});
    return link;
}

}  // namespace

void startGuard() {
    installPreferencesSeam();
    const std::string socketPath = serviceSocketPath();
    if (runsDirectly(socketPath)) {
        installLinuxGuardSeams();
        installCompositionProbe();
        KeyboardManager::shared().startMonitoring();
        startFrontTracking();
        return;
    }
    installProcessSignalHandlers();
    const std::shared_ptr<ServiceLink> link = steerService(socketPath);
    KeyboardManager::shared().startMonitoring();
    // Also when the service was not up yet: it is tried again.
    link->enable();
    startFrontTracking();
}

}  // namespace sendhold
