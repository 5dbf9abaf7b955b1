#!/usr/bin/env bash
# Checks Sendhold as a person would see it. Starts the real program under a
# virtual X server, with trayer (an XEmbed tray) and then xfce4-panel (a
# StatusNotifierItem host on a private session bus), clicks its icon with
# xdotool and photographs the screen. It asserts what can be measured: the icon
# is embedded, the menu opens with the panel's size, the icon fades to about
# 30 % when the guard is switched off, a second copy leaves at once, Quit and
# Ctrl+Q end the program, and with no display at all the guard still starts.
# The pictures stay in the output directory for a person to look at.
#
# Usage: check-tray.sh <sendhold executable> <output directory>
set -uo pipefail

if [ "${1:-}" = "--sni" ]; then
    phase=sni
    shift
else
    phase=main
fi
bin=$1
out=$2

for tool in Xvfb trayer xdotool xwininfo import convert dbus-run-session dbus-send xfce4-panel; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed (scripts/deps/ui.txt)"; exit 77; }
done

pids=()
die() {
    echo "FAIL: $*" >&2
    exit 1
}
note() { echo "-- $*"; }

# Ends the processes this script started, newest first, each by its own id.
cleanup() {
    local i
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill "${pids[i]}" 2>/dev/null
        wait "${pids[i]}" 2>/dev/null
    done
}
trap cleanup EXIT

# wait_until <seconds> <command...>: runs the command every 0.1 s until it succeeds.
wait_until() {
    local limit=$(($1 * 10))
    shift
    local i
    for ((i = 0; i < limit; i++)); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

# "x y width height state" of a window, absolute coordinates.
geometry() {
    xwininfo -id "$1" 2>/dev/null | awk '
        /Absolute upper-left X/ {x = $NF} /Absolute upper-left Y/ {y = $NF}
        /  Width:/ {w = $NF} /  Height:/ {h = $NF} /Map State:/ {m = $NF}
        END {print x, y, w, h, m}'
}
parent_of() { xwininfo -id "$1" -tree 2>/dev/null | awk '/Parent window id/ {print $4}'; }
root_window() { xwininfo -root | awk '/Window id:/ {print $4}'; }

# Sendhold's viewable windows: "id x y w h embedded|toplevel".
sendhold_windows() {
    local root w g
    root=$(root_window)
    for w in $(xdotool search --classname '^sendhold$' 2>/dev/null); do
        g=$(geometry "$w")
        [ "${g##* }" = IsViewable ] || continue
        if [ "$(parent_of "$w")" = "$root" ]; then
            echo "$w ${g% *} toplevel"
        else
            echo "$w ${g% *} embedded"
        fi
    done
}
embedded_icon() { sendhold_windows | awk '$6 == "embedded" {print $2, $3, $4, $5; exit}'; }
# The popup menu: a top-level window at least as large as the settings panel.
open_menu() { sendhold_windows | awk '$6 == "toplevel" && $4 >= 270 && $5 >= 175 {print $2, $3, $4, $5; exit}'; }
has_embedded_icon() { [ -n "$(embedded_icon)" ]; }
has_open_menu() { [ -n "$(open_menu)" ]; }
menu_closed() { [ -z "$(open_menu)" ]; }

shoot() {
    import -window root "$out/$1.png" || die "screenshot $1 failed"
    note "saved $out/$1.png"
}

# Mean difference from the background colour (the top-left pixel) of a crop.
contrast() {
    local crop=$1 bg
    bg=$(convert "$crop" -format '%[pixel:p{0,0}]' info:)
    convert "$crop" \( +clone -fill "$bg" -colorize 100 \) -compose difference -composite \
        -colorspace gray -format '%[fx:mean]' info:
}

# wait_exit <pid> <seconds>: true when the process ended in time.
wait_exit() {
    local pid=$1 limit=$(($2 * 20)) i
    for ((i = 0; i < limit; i++)); do
        kill -0 "$pid" 2>/dev/null || return 0
        sleep 0.05
    done
    return 1
}

# Context switches of all threads of a process.
wakeups() {
    local total=0 t v
    for t in /proc/"$1"/task/*; do
        v=$(awk '/^(non)?voluntary_ctxt_switches/ {s += $2} END {print s}' "$t/status")
        total=$((total + v))
    done
    echo "$total"
}

start_sendhold() {
    local language=$1 log=$2
    LANGUAGE=$language "$bin" >"$log" 2>&1 &
    app=$!
    pids+=("$app")
}

start_trayer() {
    trayer --edge top --align right --widthtype request --height 32 --SetDockType true \
        --transparent false --tint 0x404040 >"$work/trayer.log" 2>&1 &
    trayer=$!
    pids+=("$trayer")
}

stop() {
    kill "$1" 2>/dev/null
    wait "$1" 2>/dev/null
}

sni_watcher() {
    dbus-send --session --print-reply --dest=org.kde.StatusNotifierWatcher /StatusNotifierWatcher \
        org.freedesktop.DBus.Properties.Get string:org.kde.StatusNotifierWatcher "string:$1" 2>/dev/null
}
sni_host_ready() { sni_watcher IsStatusNotifierHostRegistered | grep -q 'boolean true'; }
sni_item_registered() { sni_watcher RegisteredStatusNotifierItems | grep -q 'string "'; }
# Viewable top-level windows on the screen (GTK keeps helper windows at -100,-100).
viewable_top_windows() {
    xwininfo -root -children | awk '/^ +0x/ {print $1}' | while read -r w; do
        geometry "$w" | awk -v w="$w" '$5 == "IsViewable" && $1 >= 0 && $3 > 20 {print w}'
    done | sort
}

if [ "$phase" = sni ]; then
    work=$3
    # --- xfce4-panel: the icon through StatusNotifierItem, the panel through "Settings..."
    NO_AT_BRIDGE=1 xfce4-panel --disable-wm-check >"$work/panel.log" 2>&1 &
    pids+=($!)
    wait_until 20 sni_host_ready || die "xfce4-panel registered no StatusNotifierItem host"
    start_sendhold en "$work/xfce.out"
    wait_until 10 sni_item_registered || die "Sendhold registered no StatusNotifierItem"
    has_embedded_icon && die "Sendhold used XEmbed although a StatusNotifierItem host was there"
    note "xfce4-panel: icon registered as a StatusNotifierItem"
    sleep 0.5
    shoot xfce-icon-on

    read -r px py pw ph _ < <(geometry "$(xdotool search --classname '^xfce4-panel$' | while read -r w; do
        g=$(geometry "$w"); [ "$(echo "$g" | awk '{print $3}')" -gt 100 ] && echo "$w" && break; done)")
    ix=$((px + pw - 16))
    iy=$((py + ph / 2))

    # A left click opens the panel at the pointer.
    xdotool mousemove "$ix" "$iy" click 1
    wait_until 5 has_open_menu || die "left click on the StatusNotifierItem opened no menu"
    note "xfce4-panel: left click opened the menu ($(open_menu))"
    xdotool key Escape
    wait_until 5 menu_closed || die "the menu did not close on Escape"

    # A right click shows the plain exported menu; "Settings..." opens the panel.
    before=$(viewable_top_windows)
    xdotool mousemove "$ix" "$iy" click 3
    exported=""
    for _ in $(seq 50); do
        exported=$(comm -13 <(echo "$before") <(viewable_top_windows) | head -1)
        [ -n "$exported" ] && break
        sleep 0.1
    done
    [ -n "$exported" ] || die "right click showed no exported menu"
    sleep 0.3
    shoot xfce-context-menu
    read -r cx cy cw ch _ < <(geometry "$exported")
    note "xfce4-panel: exported menu ${cw}x${ch} at $cx,$cy"
    xdotool mousemove $((cx + cw / 2)) $((cy + 15)) click 1
    wait_until 5 has_open_menu || die "\"Settings...\" opened no menu"
    read -r mx my mw mh < <(open_menu)
    note "xfce4-panel: \"Settings...\" opened the menu ${mw}x${mh}"
    sleep 0.3
    shoot xfce-menu
    xdotool key ctrl+q
    wait_exit "$app" 5 || die "Ctrl+Q did not end Sendhold under xfce4-panel"
    note "xfce4-panel: Ctrl+Q ended Sendhold"
    exit 0
fi

rm -rf "$out"
mkdir -p "$out"
# Logs and the private home stay next to the pictures.
work=$out/run
mkdir -p "$work"
export HOME=$work/home XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data
export XDG_CACHE_HOME=$work/cache XDG_RUNTIME_DIR=$work/run
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_CACHE_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
unset WAYLAND_DISPLAY QT_QPA_PLATFORM SESSION_MANAGER DBUS_SESSION_BUS_ADDRESS LC_ALL LANG
export QT_ACCESSIBILITY=0

# --- No display at all: the guard starts, there is simply no icon.
env -u DISPLAY "$bin" >"$work/headless.out" 2>&1 &
headless=$!
pids+=("$headless")
wait_until 10 grep -qE '^(監視スタート|権限エラー)$' "$work/headless.out" ||
    die "with no display Sendhold printed no tap line: $(cat "$work/headless.out")"
sleep 0.5
kill -0 "$headless" 2>/dev/null || die "with no display Sendhold ended"
note "no display: running, printed '$(grep -m1 -E '^(監視スタート|権限エラー)$' "$work/headless.out")'"
stop "$headless"

# A display that cannot be opened (a stale DISPLAY) falls back the same way.
DISPLAY=:4242 "$bin" >"$work/stale.out" 2>&1 &
stale=$!
pids+=("$stale")
wait_until 10 grep -qE '^(監視スタート|権限エラー)$' "$work/stale.out" ||
    die "with an unreachable display Sendhold did not start the guard: $(cat "$work/stale.out")"
sleep 0.5
kill -0 "$stale" 2>/dev/null || die "with an unreachable display Sendhold ended"
note "unreachable display: running without an icon"
stop "$stale"

# --- A virtual screen.
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
pids+=($!)
wait_until 10 test -s "$work/display" || die "Xvfb did not start: $(cat "$work/xvfb.log")"
export DISPLAY=:$(cat "$work/display")
wait_until 10 xwininfo -root >/dev/null 2>&1 || die "Xvfb on $DISPLAY does not answer: $(cat "$work/xvfb.log")"

# --- trayer (XEmbed), English.
start_trayer
start_sendhold en "$work/en.out"
wait_until 10 has_embedded_icon || die "the icon was not embedded in trayer"
read -r ix iy iw ih < <(embedded_icon)
note "trayer: icon embedded, ${iw}x${ih} at $ix,$iy"
# Poll until the icon is painted.
for _ in $(seq 25); do
    import -window root "$out/trayer-icon-on.png"
    convert "$out/trayer-icon-on.png" -crop "${iw}x${ih}+${ix}+${iy}" +repage "$work/on.png"
    awk -v c="$(contrast "$work/on.png")" 'BEGIN {exit !(c > 0.05)}' && break
    sleep 0.2
done
note "saved $out/trayer-icon-on.png"

# A second copy leaves at once, silently, and the first goes on.
started=$(date +%s%N)
LANGUAGE=en timeout 10 "$bin" >"$work/second.out" 2>&1
second=$?
elapsed=$((($(date +%s%N) - started) / 1000000))
[ "$second" -eq 0 ] || die "the second copy exited with $second"
[ "$elapsed" -lt 3000 ] || die "the second copy took ${elapsed} ms to leave"
[ -s "$work/second.out" ] && die "the second copy printed: $(cat "$work/second.out")"
kill -0 "$app" 2>/dev/null || die "the first copy ended when the second started"
has_embedded_icon || die "the first copy's icon went away"
note "second copy: left silently after ${elapsed} ms; the first runs on"

# Idle: no timers tick.
before=$(wakeups "$app")
sleep 5
idle=$(($(wakeups "$app") - before))
note "idle: $idle context switches in 5 s"
[ "$idle" -le 20 ] || die "Sendhold woke up $idle times in 5 s of idling"

xdotool mousemove $((ix + iw / 2)) $((iy + ih / 2)) click 1
wait_until 5 has_open_menu || die "clicking the icon opened no menu"
read -r mx my mw mh < <(open_menu)
note "trayer: menu ${mw}x${mh} at $mx,$my"
sleep 0.3
shoot trayer-menu-en

# Flip the guard's switch (top right of the panel): the icon fades.
xdotool mousemove $((mx + mw - 31)) $((my + 29)) click 1
on=$(contrast "$work/on.png")
ratio=1
for _ in $(seq 25); do
    sleep 0.2
    import -window root "$out/trayer-icon-off.png"
    convert "$out/trayer-icon-off.png" -crop "${iw}x${ih}+${ix}+${iy}" +repage "$work/off.png"
    off=$(contrast "$work/off.png")
    ratio=$(awk -v a="$on" -v b="$off" 'BEGIN {if (a > 0) printf "%.3f", b / a; else print 0}')
    # Poll until the redraw shows.
    awk -v r="$ratio" 'BEGIN {exit !(r < 0.6)}' && break
done
note "saved $out/trayer-icon-off.png"
note "icon contrast against the tray: on $on, off $off, ratio $ratio"
awk -v r="$ratio" 'BEGIN {exit !(r > 0.22 && r < 0.38)}' ||
    die "the off icon is at $ratio of the on icon, not about 0.3"

xdotool key ctrl+q
wait_exit "$app" 5 || die "Ctrl+Q in the open menu did not end Sendhold"
wait "$app"
[ $? -eq 0 ] || die "Sendhold did not exit cleanly after Ctrl+Q"
note "trayer: Ctrl+Q ended Sendhold"

# --- Japanese, started before any tray: the icon comes when trayer does.
stop "$trayer"
start_sendhold ja "$work/ja.out"
sleep 1.5
kill -0 "$app" 2>/dev/null || die "with no tray yet Sendhold ended"
has_embedded_icon && die "an icon was embedded with no tray running"
start_trayer
wait_until 15 has_embedded_icon || die "the icon did not appear when the tray came"
note "trayer started late: the icon appeared"
read -r ix iy iw ih < <(embedded_icon)
xdotool mousemove $((ix + iw / 2)) $((iy + ih / 2)) click 1
wait_until 5 has_open_menu || die "clicking the icon opened no menu (Japanese)"
read -r mx my mw mh < <(open_menu)
note "trayer: Japanese menu ${mw}x${mh} at $mx,$my"
sleep 0.3
shoot trayer-menu-ja
# Quit is the last row of the menu.
xdotool mousemove $((mx + 40)) $((my + mh - 12)) click 1
wait_exit "$app" 5 || die "choosing Quit did not end Sendhold"
note "trayer: Quit ended Sendhold"
stop "$trayer"

# --- xfce4-panel (StatusNotifierItem) on a private session bus.
panel_config=$XDG_CONFIG_HOME/xfce4/xfconf/xfce-perchannel-xml
mkdir -p "$panel_config"
cat >"$panel_config/xfce4-panel.xml" <<'EOF'
<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/>
      <property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="icon-size" type="uint" value="22"/>
      <property name="size" type="uint" value="30"/>
      <property name="plugin-ids" type="array">
        <value type="int" value="1"/>
        <value type="int" value="2"/>
      </property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="separator">
      <property name="expand" type="bool" value="true"/>
      <property name="style" type="uint" value="0"/>
    </property>
    <property name="plugin-2" type="string" value="systray">
      <property name="square-icons" type="bool" value="true"/>
    </property>
  </property>
</channel>
EOF
dbus-run-session -- "$0" --sni "$bin" "$out" "$work" || exit 1

note "all checks passed; pictures in $out"
