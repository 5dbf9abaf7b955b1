#!/usr/bin/env bash
# Per-application rules under sway: the guard asked of the stand-in service
# follows the window in front (off for the one on the list); Sendhold's own
# window in front changes nothing, and its panel row names the application
# that was in front. Pictures of the window go to the output directory.
# Usage: check-rules-wayland.sh <sendhold executable> <output directory> <sendhold_test_window>
set -uo pipefail
bin=$1 out=$(realpath -m "$2") window=$3
. "$(dirname "$0")/lib.sh" && . "$(dirname "$0")/sway-headless.sh"
require sway swaymsg grim convert compare dbus-run-session python3 setpriv
own_bus "$0" "$@"

front() { swaymsg -q "[app_id=$1] focus" && wait_until 5 guard_is "$2" ||
    die "$1 in front: the guard is not $2: $(tail -1 "$guard_log")"; }
# Sendhold's window as "x,y wxh" once sway shows it.
sendhold_window() {
    swaymsg -r -t get_tree | python3 -c 'import json, sys
def walk(n):
    if n.get("app_id") == "io.github.sendhold.Sendhold" and n["visible"]: print("{x},{y} {width}x{height}".format(**n["rect"]))
    for c in n["nodes"] + n["floating_nodes"]: walk(c)
walk(json.load(sys.stdin))'
}
# shoot <picture>: a second start brings the running copy's window to the front.
shoot() {
    timeout 10 "$bin" >/dev/null 2>&1 && wait_until 5 eval '[ -n "$(sendhold_window)" ]' ||
        die "$1: no window: $(cat "$work/app.out")"
    sleep 0.5 && grim -g "$(sendhold_window)" "$out/$1.png" || die "$1: no picture"
}

rm -rf "$out" && work=$out/run && mkdir -p "$work" && start_sway "$work"
guard_off_in org.example.Calc && stand_in "$work/service.sock" "$work/guard.log"
open_window "$window" org.example.Calc red
open_window "$window" org.example.Chat blue
SENDHOLD_SOCKET=$work/service.sock spawn "$bin" >"$work/app.out" 2>&1
front org.example.Chat on && front org.example.Calc off && front org.example.Chat on && front org.example.Calc off
# Sendhold's window in front leaves the guard as Calc wants it, and its row names Calc.
lines=$(wc -l <"$work/guard.log") && shoot rules-calc && sleep 0.3
[ "$(wc -l <"$work/guard.log")" = "$lines" ] || die "Sendhold's window in front changed the guard"
swaymsg -q '[app_id=io.github.sendhold.Sendhold] kill' && wait_until 5 eval '[ -z "$(sendhold_window)" ]' ||
    die "the window did not close"
front org.example.Chat on && shoot rules-chat
# The two pictures differ in the row under the switch alone.
read -r dw dh dy < <(compare -fuzz 3% "$out/rules-calc.png" "$out/rules-chat.png" -compose src \
    -highlight-color white -lowlight-color black png:- | convert - -trim -format '%w %h %Y' info:)
[ "$dw" -gt 10 ] && [ "${dy#+}" -ge 40 ] || die "the row does not follow the application (${dw}x$dh at $dy)"
