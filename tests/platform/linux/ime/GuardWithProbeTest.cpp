// The probe bound into the guard: a Return during a composition passes
// untouched, and without one the guard takes it. The probe runs here without
// any input-method framework, as on a desktop that has none.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <cstdlib>

#include "ContextTracker.h"
#include "ImeCompositionProbe.h"
#include "KeyboardManager.h"
#include "LinuxCompositionProbe.h"

namespace sendhold {
namespace {

TEST(GuardWithProbe, ReturnPassesOnlyDuringAComposition) {
    // No session bus, no IBus: the probe must come up quietly and answer false.
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    setenv("XDG_RUNTIME_DIR", "/nonexistent", 1);
    setenv("IBUS_ADDRESS", "unix:path=/nonexistent/ibus", 1);
    int argc = 1;
    char name[] = "guard_with_probe";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);

    auto probe = std::make_shared<ime::ImeCompositionProbe>();
    QCoreApplication::processEvents();
    EXPECT_FALSE(probe->hasMarkedText());

    KeyboardManager guard(KeyboardManagerSeams{.probe = probe});
    KeyEvent ret{kKeyCodeReturn, 0, 0};
    ime::ContextTracker& fcitx = probe->fcitxTracker();
    fcitx.focusIn("/org/freedesktop/portal/inputcontext/1", ":1.9");
    fcitx.preeditChanged("/org/freedesktop/portal/inputcontext/1", ":1.9", true);
    EXPECT_EQ(guard.handleEvent(kEventTypeKeyDown, &ret), &ret) << "composing: untouched";
    EXPECT_EQ(guard.handleEvent(kEventTypeKeyUp, &ret), &ret);

    fcitx.preeditChanged("/org/freedesktop/portal/inputcontext/1", ":1.9", false);
    EXPECT_EQ(guard.handleEvent(kEventTypeKeyDown, &ret), nullptr) << "committed: guarded";
    guard.resetEnterPress();

    // The public entry point binds the shared guard's probe, and is harmless
    // to call again.
    installCompositionProbe();
    installCompositionProbe();
}

}  // namespace
}  // namespace sendhold
