#!/usr/bin/env bash
# Sendhold at rest wakes up for nothing: the real program under Xvfb on a private
# session bus, without a keyboard service, idles while the context switches of all
# its threads are counted; alone, then with IBus, Fcitx5, trayer, xfce4-panel each
# started after it (which it must notice without polling).
# Usage: check-idle.sh <sendhold executable> [seconds per case, default 10]
set -uo pipefail
bin=$1 window=${2:-10}
. "$(dirname "$0")/lib.sh"
require Xvfb dbus-daemon ibus-daemon fcitx5 trayer xfce4-panel
trap 'stop_all; rm -rf "$work"' EXIT
work=$(mktemp -d)
private_home "$work" && start_xvfb "$work" && session_bus
export XDG_CACHE_HOME=$work/cache SENDHOLD_SOCKET=$work/no-service GSETTINGS_BACKEND=memory
unset IBUS_ADDRESS IBUS_ADDRESS_FILE
spawn "$bin" >"$work/sendhold.out" 2>&1 && app=$pid
switches() { cat /proc/"$app"/task/*/status 2>/dev/null | awk '/ctxt_switches/ {s += $2} END {print s + 0}'; }
# idle <case>: lets Sendhold settle, then counts its wake-ups over the window.
failed=0
idle() {
    sleep 3
    kill -0 "$app" 2>/dev/null || { echo "FAIL: Sendhold ended: $(cat "$work/sendhold.out")"; exit 1; }
    local before n
    before=$(switches); sleep "$window"; n=$(($(switches) - before))
    echo "$1: $n wake-ups in $window s"
    [ "$n" -le 0 ] || failed=1
}
# Its sockets: one more once it joined ibus-daemon (whose ~/.config/ibus/bus is new).
joined() { ls -l /proc/"$app"/fd | grep -c socket; }
idle "nothing"
sockets=$(joined)
spawn ibus-daemon --panel=disable --config=/usr/libexec/ibus-memconf >/dev/null 2>&1
idle "ibus-daemon"
[ "$(joined)" -gt "$sockets" ] || { echo "FAIL: Sendhold did not join ibus-daemon"; failed=1; }
spawn fcitx5 --disable=all --enable=dbus,dbusfrontend,keyboard >/dev/null 2>&1
idle "ibus-daemon, fcitx5"
spawn trayer --edge top --align right --widthtype request --height 32 >/dev/null 2>&1
idle "ibus-daemon, fcitx5, trayer"
xwininfo -root -tree | grep -q '"sendhold"' || { echo "FAIL: no icon in trayer"; failed=1; }
[ "$failed" = 0 ] && echo "-- Sendhold slept through every case"
exit "$failed"
