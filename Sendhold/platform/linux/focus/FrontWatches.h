#pragma once

#include <memory>

#include "focus/FrontApplication.h"
#include "platform/linux/MainLoop.h"

namespace sendhold {

// Watches of the application in front, each on its own connection to the
// display server and driven by its events alone (nothing is polled). Each
// reports the current application soon after it starts and every change
// after that, on `loop`. Each returns nullptr when its kind of desktop is not
// there: no display to connect to, or a compositor without the protocol.

// X11: the root window's _NET_ACTIVE_WINDOW, and the WM_CLASS of that window
// (its class; the instance when the class is empty).
std::unique_ptr<focus::FrontWatch> watchX11Front(MainLoop& loop, focus::FrontSink sink);

// Wayland compositors with wlr-foreign-toplevel-management (sway and other
// wlroots compositors): the app_id of the activated toplevel.
std::unique_ptr<focus::FrontWatch> watchWlrFront(MainLoop& loop, focus::FrontSink sink);

}  // namespace sendhold
