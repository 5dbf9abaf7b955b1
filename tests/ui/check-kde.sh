#!/usr/bin/env bash
# Sendhold under KDE Plasma 6: KWin's virtual backend with plasmashell's system
# tray, on a private session bus. Sendhold loads its KWin script through KWin's
# scripting interface, as in a Plasma session, and the guard follows the window
# in front; its icon shows in the tray and its window opens on a second start.
# Pictures of the workspace go into the output directory.
# Usage: check-kde.sh <sendhold executable> <output directory> <sendhold_test_window>
set -uo pipefail
bin=$1 out=$(realpath -m "$2")
window=$3 src=$(realpath "$(dirname "$0")/../..") here=$(realpath "$(dirname "$0")")
. "$here/lib.sh"
require kwin_wayland plasmashell dbus-run-session busctl convert python3
[ -z "${SENDHOLD_CHECK_BUS:-}" ] && SENDHOLD_CHECK_BUS=1 exec dbus-run-session -- "$0" "$@"

# Newest first, then what KWin and plasmashell started themselves.
cleanup() { local kids; kids=$(cat /proc/{"${shell:-0}","${kwin:-0}"}/task/*/children 2>/dev/null)
    stop_all; kill $kids 2>/dev/null; }; trap cleanup EXIT
shoot() { "$here/kwin-shot.py" "$out/$1.png" || die "screenshot $1 failed"; }
scripting() { busctl --user call org.kde.KWin /Scripting org.kde.kwin.Scripting "$@"; }
# changed <before> <after> <geometry>: what differs inside geometry, as "w h x y" in change.
changed() {
    change=$(convert "$out/$1.png" "$out/$2.png" -compose difference -composite -crop "$3" +repage \
        -threshold 5% -trim -format '%w %h %X %Y' info: 2>/dev/null)
    read -r cw ch _ <<<"$change" && [ "$cw" -gt 1 ]
}
guard_is() { [ "$(tail -1 "$work/guard.log" | cut -d' ' -f2)" = "$1" ]; }

rm -rf "$out"; work=$out/run
export HOME=$work/home XDG_RUNTIME_DIR=$work/run XDG_CONFIG_HOME=$work/home/.config LANGUAGE=en \
    QT_ACCESSIBILITY=0 NO_AT_BRIDGE=1 XDG_CURRENT_DESKTOP=KDE XDG_SESSION_TYPE=wayland KDE_FULL_SESSION=true
unset DISPLAY QT_QPA_PLATFORM WAYLAND_DISPLAY LC_ALL LANG XDG_DATA_HOME XDG_CACHE_HOME
mkdir -p "$XDG_CONFIG_HOME/io.github.sendhold" "$XDG_RUNTIME_DIR" "$work/share/sendhold/kwin" && chmod 700 "$XDG_RUNTIME_DIR"
printf '[General]\nguardOffApplications=org.example.Calc\n' >"$XDG_CONFIG_HOME/io.github.sendhold/Sendhold.conf"
# Sendhold finds its script where the package puts it, under a data directory.
cp "$src/packaging/kwin/sendhold-front.js" "$work/share/sendhold/kwin/"
export XDG_DATA_DIRS=$work/share:/usr/local/share:/usr/share

# Pictures and the tray need no trusted callers here.
KWIN_SCREENSHOT_NO_PERMISSION_CHECKS=1 spawn kwin_wayland --virtual --width 1024 --height 768 \
    --socket wayland-kde --no-lockscreen --no-global-shortcuts >"$work/kwin.log" 2>&1; kwin=$pid
export WAYLAND_DISPLAY=wayland-kde QT_QPA_PLATFORM=wayland
wait_until 30 scripting isScriptLoaded s none >/dev/null 2>&1 ||
    die "KWin did not start: $(tail -5 "$work/kwin.log")"
kwin_wayland --version
spawn plasmashell --no-respawn >"$work/plasmashell.log" 2>&1; shell=$pid
watcher() { busctl --user get-property org.kde.StatusNotifierWatcher /StatusNotifierWatcher org.kde.StatusNotifierWatcher "$1" 2>/dev/null; }
wait_until 60 eval '[ "$(watcher IsStatusNotifierHostRegistered)" = "b true" ]' ||
    die "plasmashell registered no tray host: $(tail -5 "$work/plasmashell.log")"
sleep 3 && shoot kde-bare

# A stand-in keyboard service logs the guard Sendhold asks for.
export SENDHOLD_SOCKET=$work/service.sock
spawn "$here/fake-service.py" "$SENDHOLD_SOCKET" "$work/guard.log"
wait_until 10 test -S "$SENDHOLD_SOCKET" || die "the stand-in service did not start"
spawn "$bin" >"$work/app.out" 2>&1; app=$pid
wait_until 20 grep -qx 監視スタート "$work/app.out" || die "Sendhold did not start: $(cat "$work/app.out")"
wait_until 10 eval '[ "$(scripting isScriptLoaded s sendhold-front)" = "b true" ]' ||
    die "Sendhold did not load its KWin script: $(tail -5 "$work/kwin.log")"
# The icon: a change in the panel at the bottom.
wait_until 20 eval 'shoot kde-icon && changed kde-bare kde-icon 1024x60+0+708' ||
    die "no icon appeared in plasmashell's panel (change: '$change'; logs in $work)"

# The guard follows the window in front: off in Calc (on the list), on again when Chat is.
spawn "$window" org.example.Chat blue
wait_until 10 eval 'grep -q . "$work/guard.log"' && sleep 1 && guard_is on ||
    die "the guard is not on with Chat in front: $(cat "$work/guard.log")"
spawn "$window" org.example.Calc red; calc=$pid
wait_until 10 guard_is off || die "the guard stayed on with Calc in front: $(cat "$work/guard.log")"
stop "$calc"
wait_until 10 guard_is on || die "the guard stayed off with Chat back in front: $(cat "$work/guard.log")"

# A second start leaves at once and silently, and the running copy shows its window.
shoot kde-chat
timeout 10 "$bin" >"$work/second.out" 2>&1 || die "the second copy exited with $?"
[ -s "$work/second.out" ] && die "the second copy printed: $(cat "$work/second.out")"
wait_until 10 eval 'shoot kde-panel && changed kde-chat kde-panel 1024x700+0+0 && [ "$cw" -ge 150 ]' ||
    die "the second start showed no window (change: '$change')"

stop "$app"
wait_until 10 eval '! (shoot kde-gone && changed kde-bare kde-gone 1024x60+0+708)' ||
    die "the icon stayed after Sendhold ended (change: '$change')"
echo "-- all checks passed; pictures in $out"
