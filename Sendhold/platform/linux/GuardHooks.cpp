#include "GuardHooks.h"

#include "KeyboardManager/KeyboardManager.h"

namespace sendhold {

GuardHooks sharedGuardHooks() {
    return GuardHooks{[](std::uint32_t type, KeyEvent* event) {
                          return KeyboardManager::eventTapCallback(nullptr, type, event, nullptr);
                      },
                      [] {
                          const KeyboardManager& guard = KeyboardManager::shared();
                          return guard.enterPressStartTime.has_value() || guard.isLongPressHandled;
                      },
                      [] { KeyboardManager::shared().resetEnterPress(); }};
}

}  // namespace sendhold
