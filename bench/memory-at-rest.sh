#!/usr/bin/env bash
# Resident memory at rest: Sendhold next to a bare Qt tray icon program, each
# under the same Xvfb with trayer, on a private session bus and home, after
# settling. Prints both (VmRSS, kB) and the ratio; with BREAKDOWN=1 also each
# one's resident memory per mapping (the largest first).
# Usage: memory-at-rest.sh <sendhold> <minimal_tray> [settle seconds, default 5]
set -uo pipefail
bin=$1 yardstick=$2 settle=${3:-5}
pids=()
spawn() { "$@" >/dev/null 2>&1 & pid=$!; pids+=("$pid"); }
cleanup() { local i; for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null; wait "${pids[i]}" 2>/dev/null; done; rm -rf "$work"; }
trap cleanup EXIT
work=$(mktemp -d)
export HOME=$work XDG_CONFIG_HOME=$work/config XDG_RUNTIME_DIR=$work/run SENDHOLD_SOCKET=$work/none \
    LANGUAGE=en QT_ACCESSIBILITY=0 NO_AT_BRIDGE=1
mkdir -p "$XDG_CONFIG_HOME" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
unset WAYLAND_DISPLAY QT_QPA_PLATFORM SESSION_MANAGER
spawn Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp -noreset 3>"$work/display"
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=:$(cat "$work/display")
{ read -r DBUS_SESSION_BUS_ADDRESS; read -r bus; } < <(dbus-daemon --session --fork --nopidfile --print-address=1 --print-pid=1)
export DBUS_SESSION_BUS_ADDRESS
pids+=("$bus")
spawn trayer --edge top --align right --widthtype request --height 32
sleep 1
rss() {
    spawn "$1"; sleep "$settle"
    [ -n "${BREAKDOWN:-}" ] && awk -v who="${1##*/}" '/^[0-9a-f]+-[0-9a-f]+ / {n = $6 == "" ? "[anon]" : $6}
        /^Rss:/ {r[n] += $2} END {for (n in r) if (r[n] >= 100) printf "%s %6d %s\n", who, r[n], n}' \
        /proc/"$pid"/smaps | sort -k2 -rn >&2
    awk '/^VmRSS/ {print $2}' /proc/"$pid"/status
}
ours=$(rss "$bin") theirs=$(rss "$yardstick")
echo "sendhold: $ours kB; minimal Qt tray icon: $theirs kB"
awk -v a="$ours" -v b="$theirs" 'BEGIN {printf "ratio: %.2f\n", a / b}'
