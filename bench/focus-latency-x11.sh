#!/usr/bin/env bash
# How soon the guard follows the application in front under X11: Sendhold
# with a stand-in keyboard service, openbox under Xvfb, two test windows, one
# of them on the guard-off list. Each of N switches is timed from just before
# the switch command (xdotool windowactivate) to the GUARD line the service
# receives, both on CLOCK_MONOTONIC; also from the moment xdotool has sent its
# request, which leaves out xdotool's own start. Prints p50 and p99 in ms.
# Usage: focus-latency-x11.sh <sendhold> [<sendhold_test_window>, default beside it in the build tree] [N, default 100]
set -uo pipefail
bin=$1 test_window=${2:-$(dirname "$1")/tests/ui/sendhold_test_window} n=${3:-100}
tests=$(dirname "$0")/../tests/ui
pids=()
spawn() { "$@" >/dev/null 2>&1 & pid=$!; pids+=("$pid"); }
cleanup() { local i; for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null; wait "${pids[i]}" 2>/dev/null; done; rm -rf "$work"; }
trap cleanup EXIT
wait_for() { local i; for ((i = 0; i < 100; i++)); do "$@" && return 0; sleep 0.1; done; echo "gave up waiting for: $*" >&2; exit 1; }
window_of() { xdotool search --classname "^$1\$" 2>/dev/null | head -n1; }
has() { [ -n "$("$@")" ]; }
work=$(mktemp -d)
export HOME=$work XDG_CONFIG_HOME=$work/config XDG_RUNTIME_DIR=$work/run SENDHOLD_SOCKET=$work/service.sock \
    LANGUAGE=en QT_ACCESSIBILITY=0 NO_AT_BRIDGE=1
mkdir -p "$XDG_CONFIG_HOME/io.github.sendhold" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
unset WAYLAND_DISPLAY QT_QPA_PLATFORM SESSION_MANAGER DBUS_SESSION_BUS_ADDRESS
printf '[General]\nguardOffApplications=org.example.Calc\n' >"$XDG_CONFIG_HOME/io.github.sendhold/Sendhold.conf"
spawn Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp -noreset 3>"$work/display"
wait_for test -s "$work/display"
export DISPLAY=:$(cat "$work/display")
spawn openbox --sm-disable
wait_for eval "xprop -root _NET_SUPPORTING_WM_CHECK | grep -q 'window id'"
spawn python3 "$tests/fake-service.py" "$SENDHOLD_SOCKET" "$work/guard.log"
wait_for test -S "$SENDHOLD_SOCKET"
spawn "$bin"
spawn "$test_window" org.example.Calc '#c03030'
spawn "$test_window" org.example.Chat '#3060c0'
wait_for has window_of org.example.Calc
wait_for has window_of org.example.Chat
wait_for test -s "$work/guard.log"  # Sendhold is connected
python3 - "$work/guard.log" "$(window_of org.example.Calc)" "$(window_of org.example.Chat)" "$n" <<'PY'
import subprocess, sys, time
log, calc, chat, n = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])

def lines():
    with open(log) as f:
        return [l.split() for l in f.read().split("\n")[:-1]]

xdotool = subprocess.Popen(["xdotool", "-"], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, text=True)

def switch(window, guard):
    """Brings window to the front; returns the ns from just before that to the GUARD line."""
    count = len(lines())
    start = time.monotonic_ns()
    xdotool.stdin.write(f"windowactivate {window} getactivewindow\n")  # the query sends the request at once
    xdotool.stdin.flush()
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline:
        new = [int(t) for t, g in lines()[count:] if g == guard]
        if new:
            return new[0] - start
        time.sleep(0.001)
    sys.exit(f"no GUARD {guard} within 5 s of bringing {window} to the front")

subprocess.run(["xdotool", "windowactivate", "--sync", chat], check=True)
while lines()[-1][1] != "on":
    time.sleep(0.01)
ns = sorted(switch(*((chat, "on") if i % 2 else (calc, "off"))) for i in range(n))
p = lambda q: ns[max(0, -(-len(ns) * q // 100) - 1)] / 1e6
print(f"switch to guard line: p50 {p(50):.1f} ms, p99 {p(99):.1f} ms, max {ns[-1] / 1e6:.1f} ms ({n} switches)")
xdotool.stdin.close()
PY
