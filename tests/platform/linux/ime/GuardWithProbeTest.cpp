// The probe on a desktop without any input-method framework (no session bus,
// an IBus address it refuses): it comes up quietly and answers false. How the
// guard treats Return during a composition is the guard's own tests' part.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <cstdlib>

#include "platform/linux/ime/ImeCompositionProbe.h"
#include "platform/linux/ime/LinuxCompositionProbe.h"

TEST(GuardWithProbe, NoFrameworkMeansNoComposition) {
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    setenv("XDG_RUNTIME_DIR", "/nonexistent", 1);
    setenv("IBUS_ADDRESS", "unixexec:path=/bin/false", 1);
    int argc = 1;
    char name[] = "guard_with_probe", *argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    sendhold::ime::ImeCompositionProbe probe;
    QCoreApplication::processEvents();
    EXPECT_FALSE(probe.hasMarkedText());
    EXPECT_FALSE(probe.ibusWatching() || probe.fcitxWatching());
    sendhold::installCompositionProbe();  // binds the shared guard's probe; harmless twice
    sendhold::installCompositionProbe();
}
