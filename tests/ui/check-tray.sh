#!/usr/bin/env bash
# Checks Sendhold as a person would see it: the real program under Xvfb with
# trayer (XEmbed), then xfce4-panel (StatusNotifierItem, on a private session
# bus), clicked with xdotool and photographed. It asserts what can be measured
# (icon embedded, menu of the panel's size, off icon at about 30 %, second copy,
# Quit, no display) and leaves the pictures in the output directory.
#
# Usage: check-tray.sh <sendhold executable> <output directory>
set -uo pipefail

bin=$1
out=$2

for tool in Xvfb trayer xdotool xwininfo import convert dbus-daemon dbus-send xfce4-panel; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed (scripts/deps/ui.txt)"; exit 77; }
done

pids=()
die() { echo "FAIL: $*" >&2; exit 1; }
note() { echo "-- $*"; }
# spawn <command...>: starts it in the background; its id lands in pid.
spawn() { "$@" & pid=$!; pids+=("$pid"); }
stop() { kill "$1" 2>/dev/null; wait "$1" 2>/dev/null; }
# Ends the processes this script started, newest first, each by its own id.
cleanup() { local i; for ((i = ${#pids[@]} - 1; i >= 0; i--)); do stop "${pids[i]}"; done; }
trap cleanup EXIT

# wait_until <seconds> <command...>: runs the command every 0.1 s until it succeeds.
wait_until() { local i; for ((i = 0; i < $1 * 10; i++)); do "${@:2}" && return 0; sleep 0.1; done; return 1; }
gone() { ! kill -0 "$1" 2>/dev/null; }

# "x y width height state" of a window, absolute coordinates.
geometry() {
    xwininfo -id "$1" 2>/dev/null | awk '
        /Absolute upper-left X/ {x = $NF} /Absolute upper-left Y/ {y = $NF}
        /  Width:/ {w = $NF} /  Height:/ {h = $NF} /Map State:/ {m = $NF}
        END {print x, y, w, h, m}'
}
parent_of() { xwininfo -id "$1" -tree 2>/dev/null | awk '/Parent window id/ {print $4}'; }

# Sendhold's viewable windows: "id x y w h embedded|toplevel".
sendhold_windows() {
    local root w g
    root=$(xwininfo -root | awk '/Window id:/ {print $4}')
    for w in $(xdotool search --classname '^sendhold$' 2>/dev/null); do
        g=$(geometry "$w")
        [ "${g##* }" = IsViewable ] || continue
        if [ "$(parent_of "$w")" = "$root" ]; then echo "$w ${g% *} toplevel"; else echo "$w ${g% *} embedded"; fi
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

# click_menu <x> <y> <picture>: clicks there, waits for the menu with the panel
# (its position and size land in mx my mw mh) and photographs it.
click_menu() {
    xdotool mousemove "$1" "$2" click 1
    wait_until 5 has_open_menu || die "$3: the click opened no menu"
    read -r mx my mw mh < <(open_menu)
    note "$3: menu ${mw}x${mh} at $mx,$my"
    sleep 0.3
    shoot "$3"
}

# shoot_icon <picture> <awk condition on c>: photographs the screen until the
# icon's contrast c against the tray (the mean difference from the crop's
# top-left pixel) meets the condition, 5 s at most; prints c.
shoot_icon() {
    local crop=$work/$1.png c bg i
    for ((i = 0; i < 25; i++)); do
        import -window root "$out/$1.png"
        convert "$out/$1.png" -crop "${iw}x${ih}+${ix}+${iy}" +repage "$crop"
        bg=$(convert "$crop" -format '%[pixel:p{0,0}]' info:)
        c=$(convert "$crop" \( +clone -fill "$bg" -colorize 100 \) -compose difference -composite \
            -colorspace gray -format '%[fx:mean]' info:)
        awk -v c="$c" "BEGIN {exit !($2)}" && break
        sleep 0.2
    done
    echo "$c"
}

start_sendhold() { spawn env LANGUAGE="$1" "$bin" >"$work/$1.out" 2>&1; app=$pid; }
start_trayer() {
    spawn trayer --edge top --align right --widthtype request --height 32 --SetDockType true \
        --transparent false --tint 0x404040 >"$work/trayer.log" 2>&1
    trayer=$pid
}
# find_icon <seconds>: waits for the icon in the tray; its place lands in ix iy iw ih.
find_icon() { wait_until "$1" has_embedded_icon && read -r ix iy iw ih < <(embedded_icon); }

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
new_top_window() { exported=$(comm -13 <(echo "$before") <(viewable_top_windows) | head -1); [ -n "$exported" ]; }


rm -rf "$out"
# Logs and the private home stay next to the pictures.
work=$out/run
export HOME=$work/home XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data
export XDG_CACHE_HOME=$work/cache XDG_RUNTIME_DIR=$work/run
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_CACHE_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
unset WAYLAND_DISPLAY QT_QPA_PLATFORM SESSION_MANAGER DBUS_SESSION_BUS_ADDRESS LC_ALL LANG
export QT_ACCESSIBILITY=0

# --- No display, or one that cannot be opened: the guard starts, with no icon.
tap_line='^(監視スタート|権限エラー)$'
for display in "-u DISPLAY" DISPLAY=:4242; do
    log=$work/display-${#pids[@]}.out
    spawn env $display "$bin" >"$log" 2>&1
    wait_until 10 grep -qE "$tap_line" "$log" || die "$display: Sendhold printed no tap line: $(cat "$log")"
    sleep 0.5
    gone "$pid" && die "$display: Sendhold ended"
    note "$display: running, printed '$(grep -m1 -E "$tap_line" "$log")'"
    stop "$pid"
done

# --- A virtual screen. -noreset: by default the server resets when its last client
# leaves, and a client connecting during that reset is refused.
spawn Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp -noreset 3>"$work/display" >"$work/xvfb.log" 2>&1
wait_until 10 test -s "$work/display" || die "Xvfb did not start: $(cat "$work/xvfb.log")"
export DISPLAY=:$(cat "$work/display")
wait_until 10 xwininfo -root >/dev/null 2>&1 || die "Xvfb on $DISPLAY does not answer: $(cat "$work/xvfb.log")"

# --- trayer (XEmbed), English.
start_trayer
# Sendhold started before the tray is up waits for it with growing pauses; that
# case is checked further down, here the tray comes first.
wait_until 10 xdotool search --classname trayer >/dev/null ||
    die "trayer did not start: $(cat "$work/trayer.log")"
start_sendhold en
find_icon 20 || die "the icon was not embedded in trayer: $(cat "$work/en.out")"
note "trayer: icon embedded, ${iw}x${ih} at $ix,$iy"
on=$(shoot_icon trayer-icon-on 'c > 0.05')

# A second copy leaves at once, silently, and the first goes on.
started=$(date +%s%N)
LANGUAGE=en timeout 10 "$bin" >"$work/second.out" 2>&1 || die "the second copy exited with $?"
elapsed=$((($(date +%s%N) - started) / 1000000))
[ "$elapsed" -lt 3000 ] || die "the second copy took ${elapsed} ms to leave"
[ -s "$work/second.out" ] && die "the second copy printed: $(cat "$work/second.out")"
! gone "$app" && has_embedded_icon || die "the first copy or its icon went away when the second started"
note "second copy: left silently after ${elapsed} ms; the first runs on"

# Idle: no timers tick (context switches of all its threads).
wakeups() { cat /proc/"$app"/task/*/status | awk '/ctxt_switches/ {s += $2} END {print s}'; }
before=$(wakeups)
sleep 5
idle=$(($(wakeups) - before))
note "idle: $idle context switches in 5 s"
[ "$idle" -le 20 ] || die "Sendhold woke up $idle times in 5 s of idling"

click_menu $((ix + iw / 2)) $((iy + ih / 2)) trayer-menu-en
# Flip the guard's switch (top right of the panel): the icon fades.
xdotool mousemove $((mx + mw - 31)) $((my + 29)) click 1
off=$(shoot_icon trayer-icon-off "c < 0.6 * $on")
ratio=$(awk -v a="$on" -v b="$off" 'BEGIN {printf "%.3f", (a > 0 ? b / a : 1)}')
note "icon contrast against the tray: on $on, off $off, ratio $ratio"
awk -v r="$ratio" 'BEGIN {exit !(r > 0.22 && r < 0.38)}' || die "the off icon is at $ratio of the on icon, not about 0.3"

xdotool key ctrl+q
wait_until 5 gone "$app" || die "Ctrl+Q in the open menu did not end Sendhold"
wait "$app" || die "Sendhold did not exit cleanly after Ctrl+Q"

# --- Japanese, started before any tray: the icon comes when trayer does.
stop "$trayer"
start_sendhold ja
sleep 1.5
gone "$app" && die "with no tray yet Sendhold ended"
has_embedded_icon && die "an icon was embedded with no tray running"
start_trayer
find_icon 15 || die "the icon did not appear when the tray came"
click_menu $((ix + iw / 2)) $((iy + ih / 2)) trayer-menu-ja
# Quit is the last row of the menu.
xdotool mousemove $((mx + 40)) $((my + mh - 12)) click 1
wait_until 5 gone "$app" || die "choosing Quit did not end Sendhold"
stop "$trayer"

# --- xfce4-panel (StatusNotifierItem) on a private session bus: the icon
# through StatusNotifierItem, the panel through "Settings...". One panel across
# the top, a stretching separator, then the tray at the right end.
panel_config=$XDG_CONFIG_HOME/xfce4/xfconf/xfce-perchannel-xml
mkdir -p "$panel_config"
cat >"$panel_config/xfce4-panel.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array"><value type="int" value="1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/><property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/><property name="size" type="uint" value="30"/>
      <property name="icon-size" type="uint" value="22"/>
      <property name="plugin-ids" type="array"><value type="int" value="1"/><value type="int" value="2"/></property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="separator">
      <property name="expand" type="bool" value="true"/><property name="style" type="uint" value="0"/>
    </property>
    <property name="plugin-2" type="string" value="systray"><property name="square-icons" type="bool" value="true"/></property>
  </property>
</channel>
XML
{ read -r DBUS_SESSION_BUS_ADDRESS; read -r bus; } < <(dbus-daemon --session --fork --nopidfile --print-address=1 --print-pid=1)
export DBUS_SESSION_BUS_ADDRESS
pids+=("$bus")
spawn env NO_AT_BRIDGE=1 xfce4-panel --disable-wm-check >"$work/panel.log" 2>&1
wait_until 20 sni_host_ready || die "xfce4-panel registered no StatusNotifierItem host"
start_sendhold en
wait_until 10 sni_item_registered || die "Sendhold registered no StatusNotifierItem"
has_embedded_icon && die "Sendhold used XEmbed although a StatusNotifierItem host was there"
sleep 0.5
shoot xfce-icon-on
# The icon sits at the right end of the panel (the widest xfce4-panel window).
read -r px py pw ph _ < <(for w in $(xdotool search --classname '^xfce4-panel$'); do geometry "$w"; done |
    sort -k3 -n | tail -1)
ix=$((px + pw - 16))
iy=$((py + ph / 2))

# A left click opens the panel at the pointer.
click_menu "$ix" "$iy" xfce-menu-left-click
xdotool key Escape
wait_until 5 menu_closed || die "the menu did not close on Escape"
# A right click shows the plain exported menu; "Settings..." opens the panel.
before=$(viewable_top_windows)
xdotool mousemove "$ix" "$iy" click 3
wait_until 5 new_top_window || die "right click showed no exported menu"
sleep 0.3
shoot xfce-context-menu
read -r cx cy cw ch _ < <(geometry "$exported")
note "xfce4-panel: exported menu ${cw}x${ch} at $cx,$cy"
click_menu $((cx + cw / 2)) $((cy + 15)) xfce-menu
xdotool key ctrl+q
wait_until 5 gone "$app" || die "Ctrl+Q did not end Sendhold under xfce4-panel"

note "all checks passed; pictures in $out"
