#include "LinuxCompositionProbe.h"

#include <QCoreApplication>
#include <memory>

#include "ImeCompositionProbe.h"
#include "KeyboardManager/KeyboardManager.h"

namespace sendhold {

void installCompositionProbe() {
    if (!QCoreApplication::instance()) return;
    KeyboardManager::shared().bindSeams({.probe = std::make_shared<ime::ImeCompositionProbe>()});
}

}  // namespace sendhold
