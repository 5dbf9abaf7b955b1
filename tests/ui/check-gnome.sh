#!/usr/bin/env bash
# Sendhold under headless GNOME Shell, started before the AppIndicator extension as at a login:
# its icon comes with the extension and goes with Sendhold, photographed into the output directory.
# Sendhold's own extension tells it the application in front: the guard is off in one on the list.
# Usage: check-gnome.sh <sendhold executable> <output directory> <sendhold_test_window>
set -uo pipefail
bin=$1 out=$(realpath -m "$2")
ext=ubuntu-appindicators@ubuntu.com front=sendhold-front-legacy@sendhold.github.io
window=$3 src=$(realpath "$(dirname "$0")/../..")
. "$(dirname "$0")/lib.sh"
require gnome-shell gjs dbus-daemon dbus-run-session busctl convert $ext
# GNOME 45 and later load extensions as modules only.
[ "$(gnome-shell --version | grep -o '[0-9]*' | head -1)" -ge 45 ] && front=sendhold-front@sendhold.github.io
own_bus "$0" "$@"

# Newest first, then what GNOME Shell started itself (its ibus-daemon may outlive
# it); how GNOME Shell ends does not count, it may crash on the way out.
cleanup() { local kids; kids=$(cat /proc/"${shell:-0}"/task/*/children 2>/dev/null)
    stop_all; kill $kids 2>/dev/null; }; trap cleanup EXIT
watcher() { busctl --user get-property org.kde.StatusNotifierWatcher /StatusNotifierWatcher org.kde.StatusNotifierWatcher "$1" 2>/dev/null; }
# The registered items' bus names (the extension lists "name@/path").
items() { watcher RegisteredStatusNotifierItems | grep -o '"[^"/@]*' | tr -d '"'; }
extension() { busctl --user call org.gnome.Shell /org/gnome/Shell org.gnome.Shell.Extensions "$1"Extension s $ext >/dev/null; }
owned_item() { local i; for i in $(items); do busctl --user status "$i" 2>/dev/null | grep -qx "PID=$app" && return; done; false; }
# shoot <picture> [x y w h]: the right end of the top bar, or the area given. The
# Shell's screenshot service answers only callers owning a name it trusts, so the caller takes one.
shoot() { local area; [ $# -gt 1 ] && area="$2, $3, $4, $5" || area="704, 0, 320, 30"
    gjs -c "const {Gio, GLib} = imports.gi; const call = (n, m, s, a) => Gio.DBus.session.call_sync(n,
        '/' + n.replace(/\./g, '/'), n, m, new GLib.Variant(s, a), null, 0, 5000, null);
    call('org.freedesktop.DBus', 'RequestName', '(su)', ['org.gnome.Screenshot', 4]);
    call('org.gnome.Shell.Screenshot', 'ScreenshotArea', '(iiiibs)', [$area, false, '$out/$1.png']);" ||
    die "screenshot $1 failed"; }
# icon_shown <picture>: what changed since the bare bar, as "w h x y" in icon (about 16 x 16).
icon_shown() {
    shoot "$1"
    icon=$(convert "$out/gnome-bare.png" "$out/$1.png" -compose difference -composite \
        -threshold 5% -trim -format '%w %h %X %Y' info: 2>/dev/null)
    read -r iw ih _ <<<"$icon" && [ "$iw" -ge 8 ] && [ "$iw" -le 40 ] && [ "$ih" -ge 8 ]
}

rm -rf "$out"; work=$out/run
private_home "$work" && export XDG_CONFIG_HOME=$HOME/.config GSETTINGS_BACKEND=keyfile
unset XDG_DATA_HOME XDG_CACHE_HOME
mkdir -p "$XDG_CONFIG_HOME/glib-2.0/settings" "$XDG_CONFIG_HOME/io.github.sendhold" "$HOME/.local/share/gnome-shell/extensions"
printf "[org/gnome/shell]\nenabled-extensions=['%s', '%s']\n" "$ext" "$front" >"$XDG_CONFIG_HOME/glib-2.0/settings/keyfile"
cp -r "$src/packaging/gnome-shell/$front" "$HOME/.local/share/gnome-shell/extensions/"
guard_off_in org.example.Calc
# The extension for GNOME 45 and later is the same code as a module.
body() { sed -n '/^const NAME/,/^}/{/class SendholdFront/!p}' "$src/packaging/gnome-shell/$1/extension.js"; }
diff <(body sendhold-front-legacy@sendhold.github.io) <(body sendhold-front@sendhold.github.io) ||
    die "the two forms of the extension differ"

# GNOME Shell wants a system bus (for logind); another session-type bus stands in.
session_bus DBUS_SYSTEM_BUS_ADDRESS
spawn gnome-shell --headless --virtual-monitor 1024x768 --wayland >"$work/shell.log" 2>&1; shell=$pid
wait_until 40 eval '[ "$(watcher IsStatusNotifierHostRegistered)" = "b true" ]' ||
    die "the AppIndicator extension registered no tray host: $(tail -5 "$work/shell.log")"
sleep 1 && shoot gnome-bare

# The tray goes (a login before the extensions load); Sendhold comes first and waits.
extension Disable && wait_until 10 eval '[ -z "$(watcher IsStatusNotifierHostRegistered)" ]' ||
    die "the tray stayed with the extension disabled"

# A stand-in keyboard service logs the guard Sendhold asks for; Sendhold keeps looking for a tray.
export WAYLAND_DISPLAY=wayland-0 SENDHOLD_SOCKET=$work/service.sock
stand_in "$SENDHOLD_SOCKET" "$work/guard.log"
spawn "$bin" >"$work/app.out" 2>&1; app=$pid
wait_until 20 grep -qx 監視スタート "$work/app.out" || die "Sendhold did not start: $(cat "$work/app.out")"
sleep 1 && extension Enable || die "the extension did not come back"
wait_until 20 owned_item || die "Sendhold registered no item (items: $(items)): $(cat "$work/app.out")"
wait_until 20 icon_shown gnome-icon || die "no icon appeared in the top bar (change: '$icon'; logs in $work)"
read -r iw ih ix iy <<<"$icon"
# icon_gone <picture>: where the icon was, the bar is plain (its colour changes out of the overview).
icon_gone() { shoot "$1" && convert "$out/$1.png" -crop "${iw}x${ih}$ix$iy" -format '%[fx:standard_deviation < 0.02]\n' info: | grep -qx 1; }

# The guard follows the application in front: off in Calc (on the list), on again when Chat is.
# GNOME Shell starts in the overview, where no window has the focus.
overview() { busctl --user get-property org.gnome.Shell /org/gnome/Shell org.gnome.Shell OverviewActive; }
busctl --user set-property org.gnome.Shell /org/gnome/Shell org.gnome.Shell OverviewActive b false &&
    wait_until 5 eval '[ "$(overview)" = "b false" ]' || die "the overview stayed"
QT_QPA_PLATFORM=wayland spawn "$window" org.example.Chat blue
sleep 2 && guard_is on || die "the guard is not on with Chat in front: $(cat "$work/guard.log")"
QT_QPA_PLATFORM=wayland spawn "$window" org.example.Calc red; calc=$pid
wait_until 10 guard_is off || die "the guard stayed on with Calc in front: $(cat "$work/guard.log")"
stop "$calc"
wait_until 10 guard_is on || die "the guard stayed off with Chat back in front: $(cat "$work/guard.log")"
# A second start brings the settings window forward (its picture); Sendhold's own
# window in front leaves the guard as it was.
shoot gnome-chat 0 0 1024 768
second_copy "$bin"
panel_shown() { shoot gnome-panel 0 0 1024 768 && read -r pw ph _ < <(convert "$out/gnome-chat.png" \
    "$out/gnome-panel.png" -compose difference -composite -threshold 5% -trim -format '%w %h\n' info:) &&
    [ "$pw" -ge 150 ] && [ "$ph" -ge 100 ]; }
wait_until 10 panel_shown || die "a second start showed no settings window"
sleep 1 && guard_is on || die "the settings window in front changed the guard: $(cat "$work/guard.log")"
stop "$app"
wait_until 10 icon_gone gnome-gone || die "the icon stayed after Sendhold ended"
echo "-- all checks passed; pictures in $out"
