#!/usr/bin/env bash
# Per-application rules under sway: the guard follows the application in
# front (off for the one on the list), Sendhold's own window in front changes
# nothing, and its panel row names the application that was in front.
# Pictures of the window go to the output directory.
# Usage: check-rules-wayland.sh <sendhold executable> <output directory> <sendhold_test_window>
set -uo pipefail
bin=$1 out=$(realpath -m "$2") window=$3
. "$(dirname "$0")/lib.sh" && . "$(dirname "$0")/sway-headless.sh"
require sway swaymsg grim convert compare dbus-run-session python3 setpriv
[ -z "${SENDHOLD_CHECK_BUS:-}" ] && SENDHOLD_CHECK_BUS=1 exec dbus-run-session -- "$0" "$@"

guard() { tail -1 "$work/guard.log" 2>/dev/null | cut -d' ' -f2; }
expect_guard() { want=$1; wait_until 5 eval '[ "$(guard)" = "$want" ]' || die "$2: the guard is '$(guard)', not $want"; }
front() { swaymsg -q "[app_id=$1] focus" || die "no window $1"; }
# Sendhold's window, "x y w h", once sway shows it.
sendhold_window() {
    swaymsg -r -t get_tree | python3 -c 'import json, sys
def walk(n):
    if n.get("app_id") == "io.github.sendhold.Sendhold" and n["visible"]: print(*n["rect"].values())
    for c in n["nodes"] + n["floating_nodes"]: walk(c)
walk(json.load(sys.stdin))' | cut -d' ' -f1-4
}
# shoot_window <picture>: a second start shows the running copy's window, which comes to the front.
shoot_window() {
    timeout 10 "$bin" >/dev/null 2>&1 || die "the second copy exited with $?"
    wait_until 5 eval '[ -n "$(sendhold_window)" ]' || die "$1: no window: $(cat "$work/app.out")"
    sleep 0.5 && read -r wx wy ww wh < <(sendhold_window)
    grim -g "$wx,$wy ${ww}x$wh" "$out/$1.png" || die "$1: no picture"
}
close_window() {
    swaymsg -q '[app_id=io.github.sendhold.Sendhold] kill'
    wait_until 5 eval '[ -z "$(sendhold_window)" ]' || die "the window did not close"
}

rm -rf "$out" && work=$out/run && mkdir -p "$work" && start_sway "$work"
mkdir -p "$XDG_CONFIG_HOME/io.github.sendhold"
printf '[General]\nguardOffApplications=org.example.Calc\n' >"$XDG_CONFIG_HOME/io.github.sendhold/Sendhold.conf"
spawn python3 "$(dirname "$0")/fake-service.py" "$work/service.sock" "$work/guard.log"
wait_until 5 test -S "$work/service.sock" || die "the stand-in service did not start"
open_window "$window" org.example.Calc red
open_window "$window" org.example.Chat blue
SENDHOLD_SOCKET=$work/service.sock spawn "$bin" >"$work/app.out" 2>&1
expect_guard on "Chat in front at start"
front org.example.Calc && expect_guard off "Calc in front"
front org.example.Chat && expect_guard on "Chat in front"
front org.example.Calc && expect_guard off "Calc in front again"

# Sendhold's window in front: the guard stays as Calc wants it, and the row names Calc.
lines=$(wc -l <"$work/guard.log")
shoot_window rules-calc
sleep 0.3 && [ "$(wc -l <"$work/guard.log")" = "$lines" ] || die "Sendhold's window in front changed the guard"
close_window
front org.example.Chat && expect_guard on "Chat in front after the window"
shoot_window rules-chat
close_window
# Both pictures show the same panel but for the row under the switch.
[ "$(identify -format '%wx%h' "$out/rules-calc.png")" = "$(identify -format '%wx%h' "$out/rules-chat.png")" ] ||
    die "the window changed size between the two applications"
read -r dw dh dx dy < <(compare -fuzz 3% "$out/rules-calc.png" "$out/rules-chat.png" -compose src \
    -highlight-color white -lowlight-color black png:- | convert - -trim -format '%w %h %X %Y' info:)
[ "$dw" -gt 10 ] && [ "$dy" -ge 40 ] || die "the panel row does not change with the application (difference ${dw}x$dh+$dx+$dy)"
echo "-- all checks passed; pictures in $out"
