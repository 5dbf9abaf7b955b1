#!/usr/bin/env bash
# The wlroots watch under sway: each focus change is one report, a closed
# window hands the front to the next, and a vanished compositor ends in one
# "" with the probe idle. Usage: check-wlr-front.sh <probe> <test window> <work dir>
set -uo pipefail
probe=$1 window=$2 work=$(realpath -m "$3")
ui=$(dirname "$0")/../../../ui
. "$ui/lib.sh" && . "$ui/sway-headless.sh"
require sway swaymsg setpriv
rm -rf "$work" && mkdir -p "$work" && start_sway "$work"
reports() { cut -d' ' -f2- "$work/probe.out" | tr '\n' '|'; }
expect() { want=$1; wait_until 5 eval '[ "$(reports)" = "$want" ]' || die "reports '$(reports)', expected '$want'"; }

# Without WAYLAND_DISPLAY there is no watch, even where libwayland's default socket is.
ln -s "$WAYLAND_DISPLAY" "$XDG_RUNTIME_DIR/wayland-0"
WAYLAND_DISPLAY= timeout 5 "$probe"; [ $? = 3 ] || die "a watch started without WAYLAND_DISPLAY"
spawn "$probe" >"$work/probe.out"
probe_pid=$pid
expect '|'
open_window "$window" org.example.Calc red
expect '|org.example.Calc|'
open_window "$window" org.example.Chat blue
expect '|org.example.Calc|org.example.Chat|'
swaymsg -q '[app_id=org.example.Calc] focus' && expect '|org.example.Calc|org.example.Chat|org.example.Calc|'
# An empty workspace has nothing in front.
swaymsg -q workspace 2 && expect '|org.example.Calc|org.example.Chat|org.example.Calc||'
swaymsg -q workspace 1 && expect '|org.example.Calc|org.example.Chat|org.example.Calc||org.example.Calc|'
s='|org.example.Calc|org.example.Chat|org.example.Calc||org.example.Calc'
swaymsg -q '[app_id=org.example.Chat] focus' && swaymsg -q '[app_id=org.example.Chat] kill'
expect "$s|org.example.Chat|org.example.Calc|"
swaymsg -q '[app_id=org.example.Calc] kill' && expect "$s|org.example.Chat|org.example.Calc||"

# The compositor goes with a window in front: one "" and an idle probe, not a busy loop.
open_window "$window" org.example.Last green
stop "$sway_pid"
expect "$s|org.example.Chat|org.example.Calc||org.example.Last||"
sleep 1
gone "$probe_pid" && die "the probe ended when sway went"
ticks=$(awk '{print $14 + $15}' "/proc/$probe_pid/stat")
[ "$ticks" -le 20 ] || die "the probe used $ticks ticks of CPU: a busy loop"
echo "-- the wlroots watch follows sway"
