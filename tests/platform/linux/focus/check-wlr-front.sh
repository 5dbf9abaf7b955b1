#!/usr/bin/env bash
# The wlroots watch under sway: each focus change is one report, a closed
# window hands the front to the next, and a vanished compositor ends in one
# "" with the probe idle. Usage: check-wlr-front.sh <probe> <test window> <work dir>
set -uo pipefail
probe=$1 window=$2 work=$(realpath -m "$3") ui=$(dirname "$0")/../../../ui
. "$ui/lib.sh" && . "$ui/sway-headless.sh"
require sway swaymsg setpriv
rm -rf "$work" && mkdir -p "$work" && start_sway "$work"
reports() { cut -d' ' -f2- "$work/probe.out" | tr '\n' '|'; }
# next <id>: the probe's next report is <id>, with none before it since the last.
seen=
next() { seen+="$1|"; wait_until 5 eval '[ "$(reports)" = "$seen" ]' || die "reports '$(reports)', expected '$seen'"; }

# Without WAYLAND_DISPLAY there is no watch, even where libwayland's default socket is.
ln -s "$WAYLAND_DISPLAY" "$XDG_RUNTIME_DIR/wayland-0"
env -u WAYLAND_DISPLAY timeout 5 "$probe"; [ $? = 3 ] || die "a watch started without WAYLAND_DISPLAY"
spawn "$probe" >"$work/probe.out" && probe_pid=$pid && next ''
open_window "$window" org.example.Calc red && next org.example.Calc
open_window "$window" org.example.Chat blue && next org.example.Chat
# At rest the probe sleeps: no context switch in a second.
wakeups() { grep '^voluntary_ctxt_switches' "/proc/$probe_pid/status"; }
rest=$(wakeups) && sleep 1 && [ "$(wakeups)" = "$rest" ] || die "the probe woke up at rest"
swaymsg -q '[app_id=org.example.Calc] focus' && next org.example.Calc
swaymsg -q workspace 2 && next ''  # an empty workspace: nothing in front
swaymsg -q workspace 1 && next org.example.Calc
swaymsg -q '[app_id=org.example.Chat] focus' && next org.example.Chat
swaymsg -q '[app_id=org.example.Chat] kill' && next org.example.Calc
swaymsg -q '[app_id=org.example.Calc] kill' && next ''
# The compositor goes with a window in front: one "" and an idle probe, not a busy loop.
open_window "$window" org.example.Last green && next org.example.Last
stop "$sway_pid" && next '' && sleep 1
gone "$probe_pid" && die "the probe ended when sway went"
ticks=$(awk '{print $14 + $15}' "/proc/$probe_pid/stat")
[ "$ticks" -le 20 ] || die "the probe used $ticks ticks of CPU: a busy loop"
