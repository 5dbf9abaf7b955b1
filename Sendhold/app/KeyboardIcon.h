#pragma once

#include <QIcon>
#include <QPixmap>
#include <QString>

namespace sendhold {

// The tray icon's opacity while the guard is off.
inline constexpr double kOffIconOpacity = 0.3;

// The keyboard glyph at one size, fully opaque: "input-keyboard" from the user's
// icon theme when it has one, else Sendhold's own drawing shipped in the binary.
QPixmap keyboardGlyph(int size);

// Sendhold's own glyph only (the theme is not consulted).
QPixmap builtInKeyboardGlyph(int size);

// The finished tray image: the opaque glyph when on; when off, the finished glyph
// drawn once at kOffIconOpacity, so overlapping shapes fade evenly.
QPixmap keyboardPixmap(bool enabled, int size);

// keyboardPixmap at the sizes tray hosts ask for. Built from pixmaps, never from
// a theme name, so a host cannot swap in its own unfaded picture.
QIcon keyboardIcon(bool enabled);

// Tooltip and accessible description of the two states.
QString stateDescription(bool enabled);

}  // namespace sendhold
