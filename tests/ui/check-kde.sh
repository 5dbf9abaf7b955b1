#!/usr/bin/env bash
# Sendhold under KDE Plasma 6: KWin with plasmashell's system tray, on a private
# session bus. Sendhold loads its KWin script through KWin's scripting interface,
# as in a Plasma session, and the guard follows the window in front; its icon
# shows in the tray and a click on it opens its window. KWin's virtual backend
# draws with QPainter when there is no GPU, and then offers no pictures; so KWin
# runs in a window of sway's headless backend, whose pictures grim takes.
# Usage: check-kde.sh <sendhold executable> <output directory> <sendhold_test_window>
set -uo pipefail
bin=$1 out=$(realpath -m "$2")
window=$3 src=$(realpath "$(dirname "$0")/../..") here=$(realpath "$(dirname "$0")")
. "$here/lib.sh" && . "$here/sway-headless.sh"
require kwin_wayland plasmashell kded6 sway grim dbus-run-session busctl convert python3 setpriv
[ -z "${SENDHOLD_CHECK_BUS:-}" ] && SENDHOLD_CHECK_BUS=1 exec dbus-run-session -- "$0" "$@"

# Newest first, then what the KDE programs started themselves.
cleanup() { local kids; kids=$(cat /proc/{"${shell:-0}","${kwin:-0}","${kded:-0}"}/task/*/children 2>/dev/null)
    stop_all; kill $kids 2>/dev/null; }; trap cleanup EXIT
shoot() { WAYLAND_DISPLAY=$sway_display grim "$out/$1.png" || die "screenshot $1 failed"; }
scripting() { busctl --user call org.kde.KWin /Scripting org.kde.kwin.Scripting "$@" 2>/dev/null; }
watcher() { busctl --user get-property org.kde.StatusNotifierWatcher /StatusNotifierWatcher org.kde.StatusNotifierWatcher "$1" 2>/dev/null; }
# changed <before> <after> <geometry>: what differs inside geometry, as "w h x y" in change.
changed() {
    change=$(convert "$out/$1.png" "$out/$2.png" -compose difference -composite -crop "$3" +repage \
        -threshold 5% -trim -format '%w %h %X %Y' info: 2>/dev/null)
    read -r cw ch cx cy <<<"$change" && [ "$cw" -gt 1 ]
}
panel=890x60+0+708  # plasmashell's panel at the bottom, left of its clock
icon_shown() { shoot "$1" && changed kde-bare "$1" $panel && [ "$cw" -le 60 ] && [ "$ch" -ge 8 ]; }
guard_is() { [ "$(tail -1 "$work/guard.log" | cut -d' ' -f2)" = "$1" ]; }

rm -rf "$out"; mkdir -p "$out"; work=$out/run
start_sway "$work"
sway_display=$WAYLAND_DISPLAY
swaymsg -q 'output HEADLESS-1 resolution 1024x768; default_border none' || die "sway took no settings"
export LC_CTYPE=C.UTF-8 XDG_CURRENT_DESKTOP=KDE XDG_SESSION_TYPE=wayland KDE_FULL_SESSION=true KDE_SESSION_VERSION=6
mkdir -p "$XDG_CONFIG_HOME/io.github.sendhold" "$work/share/sendhold/kwin"
printf '[General]\nguardOffApplications=org.example.Calc\n' >"$XDG_CONFIG_HOME/io.github.sendhold/Sendhold.conf"
# Sendhold finds its script where the package puts it, under a data directory.
cp "$src/packaging/kwin/sendhold-front.js" "$work/share/sendhold/kwin/"
export XDG_DATA_DIRS=$work/share:/usr/local/share:/usr/share

# KWin grants its fake pointer (kwin-click.py) only to trusted clients otherwise.
KWIN_WAYLAND_NO_PERMISSION_CHECKS=1 spawn kwin_wayland --wayland-display "$sway_display" --width 1024 \
    --height 768 --socket wayland-kde --no-lockscreen --no-global-shortcuts >"$work/kwin.log" 2>&1; kwin=$pid
export WAYLAND_DISPLAY=wayland-kde QT_QPA_PLATFORM=wayland
wait_until 30 eval 'scripting isScriptLoaded s none >/dev/null' || die "KWin did not start: $(tail -5 "$work/kwin.log")"
# A Plasma session starts these through systemd: kded6 with the tray's watcher, the activity manager.
spawn kded6 >"$work/kded.log" 2>&1; kded=$pid
spawn /usr/lib/*/libexec/kactivitymanagerd >"$work/activities.log" 2>&1
wait_until 10 eval 'busctl --user call org.kde.kded6 /kded org.kde.kded6 loadModule s statusnotifierwatcher >/dev/null 2>&1' ||
    die "kded6 loaded no tray watcher: $(tail -5 "$work/kded.log")"
spawn plasmashell --no-respawn >"$work/plasmashell.log" 2>&1; shell=$pid
wait_until 60 eval '[ "$(watcher IsStatusNotifierHostRegistered)" = "b true" ]' ||
    die "plasmashell registered no tray host: $(tail -5 "$work/plasmashell.log")"
# Under load plasmashell draws its panel well after the tray host is up.
drawn() { shoot kde-bare && convert "$out/kde-bare.png" -crop $panel -format '%[fx:standard_deviation > 0.02]' info: | grep -qx 1; }
wait_until 60 drawn || die "plasmashell drew no panel: $(tail -5 "$work/plasmashell.log")"
sleep 3 && shoot kde-bare

# A stand-in keyboard service logs the guard Sendhold asks for.
export SENDHOLD_SOCKET=$work/service.sock
spawn "$here/fake-service.py" "$SENDHOLD_SOCKET" "$work/guard.log"
wait_until 10 test -S "$SENDHOLD_SOCKET" || die "the stand-in service did not start"
spawn "$bin" >"$work/app.out" 2>&1; app=$pid
wait_until 20 grep -qx 監視スタート "$work/app.out" || die "Sendhold did not start: $(cat "$work/app.out")"
wait_until 10 eval '[ "$(scripting isScriptLoaded s sendhold-front)" = "b true" ]' ||
    die "Sendhold did not load its KWin script: $(tail -5 "$work/kwin.log")"
wait_until 20 icon_shown kde-icon || die "no icon appeared in plasmashell's tray (change: '$change'; logs in $work)"

# The guard follows the window in front: on in Chat, off in Calc (on the list).
spawn "$window" org.example.Chat blue
sleep 2 && guard_is on || die "the guard is not on with Chat in front: $(cat "$work/guard.log")"
spawn "$window" org.example.Calc red; calc=$pid
wait_until 10 guard_is off || die "the guard stayed on with Calc in front: $(cat "$work/guard.log")"

# A left click on the icon (square, at the left of the change: the tray may shift its arrow)
# opens Sendhold's window above the panel. The click makes the panel KWin's active
# window, but Calc stays the application in front: the guard stays off.
icon=${ch}x$ch+$cx+$((708 + cy))
shoot kde-calc
"$here/kwin-click.py" $((cx + ch / 2)) $((708 + cy + ch / 2)) || die "the click did not reach KWin"
wait_until 10 eval 'shoot kde-click && changed kde-calc kde-click 1024x700+0+0 && [ "$cw" -ge 150 ] && [ "$ch" -ge 100 ]' ||
    die "a click on the icon opened no window (change: '$change')"
sleep 1 && guard_is off || die "the click on the tray put the guard on: $(cat "$work/guard.log")"

# With Calc and Sendhold's window closed, Chat is back in front.
echo 'workspace.windowList().forEach(w => { if (w.resourceClass.indexOf("sendhold") >= 0) w.closeWindow(); });' \
    >"$work/close.js"
scripting loadScript ss "$work/close.js" close-sendhold >/dev/null && scripting start >/dev/null ||
    die "KWin did not run the script that closes Sendhold's window"
stop "$calc"
wait_until 10 guard_is on || die "the guard stayed off with Chat back in front: $(cat "$work/guard.log")"
stop "$app"
wait_until 10 eval 'shoot kde-gone && ! changed kde-bare kde-gone $icon' || die "the icon stayed after Sendhold ended (change: '$change')"
echo "-- all checks passed; pictures in $out"
