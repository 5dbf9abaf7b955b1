#!/usr/bin/env bash
# How soon a focus change under sway reaches the keyboard service: N switches
# between a window whose application is on the guard-off list and one that is
# not, each timed from just before the focus command goes to sway's IPC socket
# to the GUARD line the stand-in service logs (CLOCK_MONOTONIC on both sides).
# With the probe (build/tests/platform/linux/focus/wlr_front_probe) also the
# time to the watch's own report, which leaves out Sendhold's work, and the
# time sway takes to answer the command. Prints p50 and p99 in ms.
# Usage: focus-latency-sway.sh <sendhold> <test window> [probe] [switches, default 100]
set -uo pipefail
bin=$(realpath "$1") window=$(realpath "$2") probe=${3:+$(realpath "$3")} n=${4:-100}
ui=$(dirname "$0")/../tests/ui
[ -z "${SENDHOLD_CHECK_BUS:-}" ] && SENDHOLD_CHECK_BUS=1 exec dbus-run-session -- "$0" "$@"
. "$ui/lib.sh" && . "$ui/sway-headless.sh"
work=$(mktemp -d)
trap 'stop_all; rm -rf "$work"' EXIT
start_sway "$work/w"
mkdir -p "$XDG_CONFIG_HOME/io.github.sendhold"
printf '[General]\nguardOffApplications=org.example.Calc\n' >"$XDG_CONFIG_HOME/io.github.sendhold/Sendhold.conf"
spawn python3 "$ui/fake-service.py" "$work/service.sock" "$work/guard.log"
wait_until 5 test -S "$work/service.sock" || die "the stand-in service did not start"
open_window "$window" org.example.Calc red
open_window "$window" org.example.Chat blue
SENDHOLD_SOCKET=$work/service.sock spawn "$bin" >"$work/app.out" 2>&1
[ -n "$probe" ] && spawn "$probe" >"$work/probe.out"
wait_until 10 grep -q on "$work/guard.log" || die "Sendhold sent no GUARD line: $(cat "$work/app.out")"

python3 - "$n" "$work/guard.log" "${probe:+$work/probe.out}" <<'PY'
import os, socket, struct, sys, time
n, log, probe = int(sys.argv[1]), sys.argv[2], sys.argv[3]
# sway's IPC socket, kept open: no swaymsg process to start on each switch.
sway = socket.socket(socket.AF_UNIX)
sway.connect(os.environ["SWAYSOCK"])

def focus(app):
    command = f"[app_id={app}] focus".encode()
    sway.sendall(b"i3-ipc" + struct.pack("<II", len(command), 0) + command)

def reply():
    header = b""
    while len(header) < 14:
        header += sway.recv(14 - len(header))
    size = struct.unpack("<I", header[6:10])[0]
    body = b""
    while len(body) < size:
        body += sway.recv(size - len(body))
    if b'"success": true' not in body and b'"success":true' not in body:
        sys.exit(f"FAIL: sway said {body!r}")

def count(path):
    with open(path) as f:
        return f.read().count("\n")

def new_line(path, seen, word):
    """The time stamp of the first complete line after `seen` lines, which must end in `word`."""
    deadline = time.monotonic() + 2
    while time.monotonic() < deadline:
        with open(path) as f:
            lines = f.read().split("\n")[:-1]
        if len(lines) > seen:
            stamp, _, what = lines[seen].partition(" ")
            if what != word:
                sys.exit(f"FAIL: {path} says '{what}', expected '{word}'")
            return int(stamp)
        time.sleep(0.0005)
    sys.exit(f"FAIL: no '{word}' in {path} within 2 s")

results = {"GUARD line": [], "watch report": [], "sway replies": []}
for i in range(n):
    app, guard = ("org.example.Calc", "off") if i % 2 == 0 else ("org.example.Chat", "on")
    seen_log, seen_probe = count(log), probe and count(probe)
    start = time.monotonic_ns()
    focus(app)
    reply()
    results["sway replies"].append(time.monotonic_ns() - start)
    results["GUARD line"].append(new_line(log, seen_log, guard) - start)
    if probe:
        results["watch report"].append(new_line(probe, seen_probe, app) - start)
    time.sleep(0.05)
for name, values in results.items():
    if values:
        values.sort()
        pick = lambda q: values[min(len(values) - 1, int(q * len(values)))] / 1e6
        print(f"{name:16} p50 {pick(0.5):6.2f} ms  p99 {pick(0.99):6.2f} ms  ({len(values)} switches)")
PY
