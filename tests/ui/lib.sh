# What the UI checks share: their tools, the processes they start, waiting.

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
