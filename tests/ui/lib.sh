# What the UI checks share: their tools, the processes they start, waiting,
# a private home, an X server, a session bus, the stand-in keyboard service.

# require <tool...>: a missing tool (a command, or a GNOME Shell extension)
# skips the check, but fails it under CI, where scripts/deps/ui.txt installs it.
require() {
    local tool
    for tool; do
        command -v "$tool" >/dev/null || [ -d "/usr/share/gnome-shell/extensions/$tool" ] && continue
        [ -n "${CI:-}" ] && { echo "FAIL: $tool is not installed (scripts/deps/ui.txt)" >&2; exit 1; }
        echo "SKIP: $tool is not installed (scripts/deps/ui.txt)"; exit 77
    done
}

pids=()
die() { echo "FAIL: $*" >&2; exit 1; }
spawn() { "$@" & pid=$!; pids+=("$pid"); }  # its id lands in pid
stop() { kill "$1" 2>/dev/null; wait "$1" 2>/dev/null; }
# Ends the processes the check started, newest first, each by its own id.
stop_all() { local i; for ((i = ${#pids[@]} - 1; i >= 0; i--)); do stop "${pids[i]}"; done; }
trap stop_all EXIT
# wait_until <seconds> <command...>: runs the command every 0.1 s until it succeeds.
wait_until() { local i; for ((i = 0; i < $1 * 10; i++)); do "${@:2}" && return 0; sleep 0.1; done; return 1; }
gone() { ! kill -0 "$1" 2>/dev/null; }
has() { [ -n "$("$@")" ]; }  # has <command>: it printed something

# own_bus "$0" "$@" (first thing in a check): runs the check again on a private
# session bus that ends with it.
own_bus() { [ -n "${SENDHOLD_CHECK_BUS:-}" ] || SENDHOLD_CHECK_BUS=1 exec dbus-run-session -- "$@"; }
# private_home <work dir>: home, configuration and runtime directory in it, English, no
# accessibility bus; nothing of the caller's desktop leaks in. A UTF-8 character
# type: Qt 6.8 warns on stderr under the C locale.
private_home() {
    export LC_CTYPE=C.UTF-8 HOME=$1/home XDG_CONFIG_HOME=$1/config XDG_RUNTIME_DIR=$1/run LANGUAGE=en \
        QT_ACCESSIBILITY=0 NO_AT_BRIDGE=1
    unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM SESSION_MANAGER LC_ALL LANG
    mkdir -p "$HOME" "$XDG_CONFIG_HOME/io.github.sendhold" "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
}
# guard_off_in <application id>: the stored list of applications without the guard.
guard_off_in() { printf '[General]\nguardOffApplications=%s\n' "$1" >"$XDG_CONFIG_HOME/io.github.sendhold/Sendhold.conf"; }
# start_xvfb <work dir>: exports DISPLAY. -noreset: the server would otherwise
# reset when its last client leaves.
start_xvfb() {
    spawn Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp -noreset 3>"$1/display" >/dev/null 2>&1
    wait_until 10 test -s "$1/display" || die "Xvfb did not start"
    export DISPLAY=:$(cat "$1/display")
}
# session_bus [variable]: a new bus exported as DBUS_SESSION_BUS_ADDRESS (or the variable named).
session_bus() {
    local address bus
    { read -r address; read -r bus; } < <(dbus-daemon --session --fork --nopidfile --print-address=1 --print-pid=1)
    export "${1:-DBUS_SESSION_BUS_ADDRESS}=$address"
    pids+=("$bus")
}
# stand_in <socket> <log>: a keyboard service logging the GUARD lines it hears;
# guard_is <on|off>: the last one asked for.
stand_in() {
    spawn python3 "$(dirname "${BASH_SOURCE[0]}")/fake-service.py" "$1" "$2"
    guard_log=$2
    wait_until 10 test -S "$1" || die "the stand-in service did not start"
}
guard_is() { [ "$(tail -n1 "$guard_log" 2>/dev/null | cut -d' ' -f2)" = "$1" ]; }
# second_copy <sendhold>: a second start leaves at once and silently.
second_copy() {
    timeout 10 "$1" >"$XDG_RUNTIME_DIR/second.out" 2>&1 || die "the second copy exited with $?"
    [ -s "$XDG_RUNTIME_DIR/second.out" ] && die "the second copy printed: $(cat "$XDG_RUNTIME_DIR/second.out")"
}
