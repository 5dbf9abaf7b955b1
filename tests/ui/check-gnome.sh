#!/usr/bin/env bash
# Sendhold under headless GNOME Shell, started before the AppIndicator extension as at a login:
# its icon comes with the extension and goes with Sendhold, photographed into the output directory.
# Sendhold's own extension tells it the application in front: the guard is off in one on the list.
# Usage: check-gnome.sh <sendhold executable> <output directory> <sendhold_test_window>
# Runs on GNOME 43 (Debian 12) and 48 (Debian 13, through scripts/test-debian13).
set -uo pipefail
bin=$1 out=$(realpath -m "$2")
ext=ubuntu-appindicators@ubuntu.com front=sendhold-front-legacy@sendhold.github.io
window=$3 src=$(realpath "$(dirname "$0")/../..")
. "$(dirname "$0")/lib.sh"
require gnome-shell gjs dbus-daemon dbus-run-session busctl convert $ext
# GNOME 45 and later load extensions as modules only.
[ "$(gnome-shell --version | grep -o '[0-9]*' | head -1)" -ge 45 ] && front=sendhold-front@sendhold.github.io
# Everything runs on a private session bus that ends with the script.
[ -z "${SENDHOLD_CHECK_BUS:-}" ] && SENDHOLD_CHECK_BUS=1 exec dbus-run-session -- "$0" "$@"

# Newest first, then what GNOME Shell started itself (its ibus-daemon may outlive
# it); how GNOME Shell ends does not count, it may crash on the way out.
cleanup() { local kids; kids=$(cat /proc/"${shell:-0}"/task/*/children 2>/dev/null)
    stop_all; kill $kids 2>/dev/null; }; trap cleanup EXIT
watcher() { busctl --user get-property org.kde.StatusNotifierWatcher /StatusNotifierWatcher org.kde.StatusNotifierWatcher "$1" 2>/dev/null; }
# The registered items' bus names (the extension lists "name@/path").
items() { watcher RegisteredStatusNotifierItems | grep -o '"[^"/@]*' | tr -d '"'; }
extension() { busctl --user call org.gnome.Shell /org/gnome/Shell org.gnome.Shell.Extensions "$1"Extension s $ext >/dev/null; }
owned_item() { local i; for i in $(items); do busctl --user status "$i" 2>/dev/null | grep -qx "PID=$app" && return; done; false; }
# shoot <picture> [x y w h]: the right end of the top bar, or the given area. The Shell's
# screenshot service answers only callers owning a name it trusts, so the caller takes one.
shoot() { local area=${2:-704, 0, 320, 30}; gjs -c "const {Gio, GLib} = imports.gi; const call = (n, m, s, a) => Gio.DBus.session.call_sync(n,
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
# Qt 6.8 warns on stderr under a C locale; the second copy must print nothing.
export LC_CTYPE=C.UTF-8 HOME=$work/home XDG_RUNTIME_DIR=$work/run GSETTINGS_BACKEND=keyfile LANGUAGE=en QT_ACCESSIBILITY=0 NO_AT_BRIDGE=1
unset DISPLAY QT_QPA_PLATFORM WAYLAND_DISPLAY LC_ALL LANG XDG_CONFIG_HOME XDG_DATA_HOME XDG_CACHE_HOME
mkdir -p "$HOME/.config/glib-2.0/settings" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
printf "[org/gnome/shell]\nenabled-extensions=['%s', '%s']\n" "$ext" "$front" >"$HOME/.config/glib-2.0/settings/keyfile"
mkdir -p "$HOME/.local/share/gnome-shell/extensions" "$HOME/.config/io.github.sendhold"
cp -r "$src/packaging/gnome-shell/$front" "$HOME/.local/share/gnome-shell/extensions/"
printf '[General]\nguardOffApplications=org.example.Calc\n' >"$HOME/.config/io.github.sendhold/Sendhold.conf"
# The extension for GNOME 45 and later is the same code as a module.
body() { sed -n '/^const NAME/,/^}/{/class SendholdFront/!p}' "$src/packaging/gnome-shell/$1/extension.js"; }
diff <(body sendhold-front-legacy@sendhold.github.io) <(body sendhold-front@sendhold.github.io) ||
    die "the two forms of the extension differ"

# GNOME Shell wants a system bus (for logind); another session-type bus stands in.
{ read -r DBUS_SYSTEM_BUS_ADDRESS; read -r bus; } < <(dbus-daemon --session --fork --nopidfile --print-address=1 --print-pid=1)
export DBUS_SYSTEM_BUS_ADDRESS; pids+=("$bus")
spawn gnome-shell --headless --virtual-monitor 1024x768 --wayland >"$work/shell.log" 2>&1; shell=$pid
wait_until 40 eval '[ "$(watcher IsStatusNotifierHostRegistered)" = "b true" ]' ||
    die "the AppIndicator extension registered no tray host: $(tail -5 "$work/shell.log")"
sleep 1 && shoot gnome-bare

# The tray goes (a login before the extensions load); Sendhold comes first and waits.
extension Disable && wait_until 10 eval '[ -z "$(watcher IsStatusNotifierHostRegistered)" ]' ||
    die "the tray stayed with the extension disabled"

# A stand-in keyboard service logs the guard Sendhold asks for; Sendhold keeps looking for a tray.
export WAYLAND_DISPLAY=wayland-0 SENDHOLD_SOCKET=$work/service.sock
spawn "$(dirname "$0")/fake-service.py" "$SENDHOLD_SOCKET" "$work/guard.log"
wait_until 10 test -S "$SENDHOLD_SOCKET" || die "the stand-in service did not start"
spawn "$bin" >"$work/app.out" 2>&1; app=$pid
wait_until 20 grep -qx 監視スタート "$work/app.out" || die "Sendhold did not start: $(cat "$work/app.out")"
sleep 1 && extension Enable || die "the extension did not come back"
wait_until 20 owned_item || die "Sendhold registered no item (items: $(items)): $(cat "$work/app.out")"
wait_until 20 icon_shown gnome-icon || die "no icon appeared in the top bar (change: '$icon'; logs in $work)"

# GNOME Shell starts in the overview, where no window has the focus.
overview() { busctl --user get-property org.gnome.Shell /org/gnome/Shell org.gnome.Shell OverviewActive; }
busctl --user set-property org.gnome.Shell /org/gnome/Shell org.gnome.Shell OverviewActive b false &&
    wait_until 5 eval '[ "$(overview)" = "b false" ]' || die "the overview stayed"

# A second start leaves at once and silently; the first goes on with its item and shows its window.
sleep 1 && shoot gnome-desk "0, 0, 1024, 768"
timeout 10 "$bin" >"$work/second.out" 2>&1 || die "the second copy exited with $?"
[ -s "$work/second.out" ] && die "the second copy printed: $(cat "$work/second.out")"
kill -0 "$app" && owned_item || die "the first copy or its item went away"
window_shown() { shoot gnome-panel "0, 0, 1024, 768"; shown=$(convert "$out/gnome-desk.png" "$out/gnome-panel.png" \
    -compose difference -composite -crop 1024x728+0+40 +repage -threshold 5% -trim -format '%w %h' info: 2>/dev/null)
    read -r ww wh <<<"$shown" && [ "$ww" -ge 150 ] && [ "$wh" -ge 100 ]; }
wait_until 10 window_shown || die "the second start showed no window (change: '$shown')"

# The guard follows the application in front: off in Calc (on the list), on again when Chat is.
guard_is() { [ "$(tail -1 "$work/guard.log" | cut -d' ' -f2)" = "$1" ]; }
QT_QPA_PLATFORM=wayland spawn "$window" org.example.Chat blue
sleep 2 && guard_is on || die "the guard is not on with Chat in front: $(cat "$work/guard.log")"
QT_QPA_PLATFORM=wayland spawn "$window" org.example.Calc red; calc=$pid
wait_until 10 guard_is off || die "the guard stayed on with Calc in front: $(cat "$work/guard.log")"
stop "$calc"
wait_until 10 guard_is on || die "the guard stayed off with Chat back in front: $(cat "$work/guard.log")"
stop "$app"
wait_until 10 eval '! icon_shown gnome-gone' || die "the icon stayed after Sendhold ended"
echo "-- all checks passed; pictures in $out"
