#!/usr/bin/env bash
# Sendhold as a person sees it: the real program under Xvfb with trayer (XEmbed),
# then xfce4-panel (StatusNotifierItem, on a private session bus), clicked with
# xdotool and photographed into the output directory.
# Usage: check-tray.sh <sendhold executable> <output directory>
set -uo pipefail
bin=$1 out=$2
. "$(dirname "$0")/lib.sh"
require Xvfb trayer xdotool xwininfo import convert dbus-daemon dbus-send xfce4-panel

# "x y width height state" of a window, absolute coordinates.
geometry() {
    xwininfo -id "$1" 2>/dev/null | awk '/Absolute upper-left X/ {x = $NF} /Absolute upper-left Y/ {y = $NF}
        /  Width:/ {w = $NF} /  Height:/ {h = $NF} /Map State:/ {m = $NF} END {print x, y, w, h, m}'
}
# Sendhold's viewable windows: "x y w h embedded|toplevel".
sendhold_windows() {
    local root w g
    root=$(xwininfo -root | awk '/Window id:/ {print $4}')
    for w in $(xdotool search --classname '^sendhold$' 2>/dev/null); do
        g=$(geometry "$w")
        [ "${g##* }" = IsViewable ] || continue
        [ "$(xwininfo -id "$w" -tree | awk '/Parent window id/ {print $4}')" = "$root" ] &&
            echo "${g% *} toplevel" || echo "${g% *} embedded"
    done
}
embedded_icon() { sendhold_windows | awk '$5 == "embedded" {print $1, $2, $3, $4; exit}'; }
# The popup menu: a top-level window at least as large as the settings panel.
open_menu() { sendhold_windows | awk '$5 == "toplevel" && $3 >= 270 && $4 >= 175 {print $1, $2, $3, $4; exit}'; }
shoot() { import -window root "$out/$1.png" || die "screenshot $1 failed"; }
# click_menu <x> <y> <picture>: clicks, waits for the menu (its place lands in mx my mw mh), photographs it.
click_menu() {
    xdotool mousemove "$1" "$2" click 1
    wait_until 5 has open_menu || die "$3: the click opened no menu"
    read -r mx my mw mh < <(open_menu)
    sleep 0.3
    shoot "$3"
}
# icon_contrast <picture> <awk condition on c>: photographs until the icon's contrast c
# against the tray (mean difference from the crop's corner) meets it, 5 s at most; prints c.
icon_contrast() {
    local bg c i
    for ((i = 0; i < 25; i++)); do
        shoot "$1"
        convert "$out/$1.png" -crop "${iw}x${ih}+${ix}+${iy}" +repage "$work/crop.png"
        bg=$(convert "$work/crop.png" -format '%[pixel:p{0,0}]' info:)
        c=$(convert "$work/crop.png" \( +clone -fill "$bg" -colorize 100 \) -compose difference \
            -composite -colorspace gray -format '%[fx:mean]' info:)
        awk -v c="$c" "BEGIN {exit !($2)}" && break
        sleep 0.2
    done
    echo "$c"
}
start_sendhold() { spawn "$bin" >"$work/$1.out" 2>&1; app=$pid; }
sni_host_ready() {
    dbus-send --session --print-reply --dest=org.kde.StatusNotifierWatcher /StatusNotifierWatcher \
        org.freedesktop.DBus.Properties.Get string:org.kde.StatusNotifierWatcher \
        string:IsStatusNotifierHostRegistered 2>/dev/null | grep -q 'boolean true'
}

rm -rf "$out"
work=$out/run  # logs and the private home stay next to the pictures
private_home "$work"
unset DBUS_SESSION_BUS_ADDRESS

# No display, or one that cannot be opened: the guard starts, with no icon.
for display in "-u DISPLAY" DISPLAY=:4242; do
    spawn env $display "$bin" >"$work/nodisplay.out" 2>&1
    wait_until 10 grep -qE '^(監視スタート|権限エラー)$' "$work/nodisplay.out" || die "$display: no tap line"
    sleep 0.5
    gone "$pid" && die "$display: Sendhold ended"
    stop "$pid"
done

start_xvfb "$work"

# Sendhold started before any tray waits for one: the icon comes with trayer.
start_sendhold en
sleep 1.5
gone "$app" && die "with no tray yet Sendhold ended"
spawn trayer --edge top --align right --widthtype request --height 32 --transparent false --tint 0x404040
trayer=$pid
wait_until 15 has embedded_icon || die "the icon did not appear when the tray came: $(cat "$work/en.out")"
read -r ix iy iw ih < <(embedded_icon)
on=$(icon_contrast icon-on 'c > 0.05')

# A second copy leaves at once, silently, and the first goes on (at rest: check-idle.sh).
second_copy "$bin"
! gone "$app" && has embedded_icon || die "the first copy or its icon went away"

# The menu opens with the panel; its switch (top right) fades the icon to about 30 %.
click_menu $((ix + iw / 2)) $((iy + ih / 2)) trayer-menu
xdotool mousemove $((mx + mw - 31)) $((my + 29)) click 1
off=$(icon_contrast icon-off "c < 0.6 * $on")
ratio=$(awk -v a="$on" -v b="$off" 'BEGIN {printf "%.3f", (a > 0 ? b / a : 1)}')
awk -v r="$ratio" 'BEGIN {exit !(r > 0.22 && r < 0.38)}' || die "the off icon is at $ratio, not about 0.3"
xdotool key ctrl+q
wait_until 5 gone "$app" || die "Ctrl+Q in the open menu did not end Sendhold"
wait "$app" || die "Sendhold did not exit cleanly after Ctrl+Q"
stop "$trayer"

# xfce4-panel on a private bus: the icon through StatusNotifierItem, never XEmbed;
# a left click opens the panel at the pointer, Quit (its last row) ends Sendhold.
mkdir -p "$XDG_CONFIG_HOME/xfce4/xfconf/xfce-perchannel-xml"
cat >"$XDG_CONFIG_HOME/xfce4/xfconf/xfce-perchannel-xml/xfce4-panel.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?><channel name="xfce4-panel" version="1.0"><property name="configver" type="int" value="2"/>
<property name="panels" type="array"><value type="int" value="1"/><property name="panel-1" type="empty"><property name="position" type="string" value="p=6;x=0;y=0"/>
<property name="length" type="uint" value="100"/><property name="size" type="uint" value="30"/><property name="icon-size" type="uint" value="22"/>
<property name="plugin-ids" type="array"><value type="int" value="1"/><value type="int" value="2"/></property></property></property>
<property name="plugins" type="empty"><property name="plugin-1" type="string" value="separator"><property name="expand" type="bool" value="true"/></property>
<property name="plugin-2" type="string" value="systray"/></property></channel>
XML
session_bus
spawn xfce4-panel --disable-wm-check >"$work/panel.log" 2>&1
wait_until 20 sni_host_ready || die "xfce4-panel registered no StatusNotifierItem host"
start_sendhold sni
sleep 2
has embedded_icon && die "Sendhold used XEmbed although a StatusNotifierItem host was there"
# A second start has the running copy show its settings in a window titled Sendhold
# (taller by the row of the application in front when that is known).
second_copy "$bin"
titled() { for w in $(xdotool search --name '^Sendhold$'); do xwininfo -id "$w" | grep -q '"Sendhold"$' &&
    geometry "$w" | awk '$3 == 270 && $4 >= 175 && $5 == "IsViewable" {ok = 1} END {exit !ok}' && echo "$w"; done; }
wait_until 5 has titled || die "a second start showed no settings window titled Sendhold"
shoot second-start
xdotool windowunmap "$(titled | head -n1)"  # out of the way of the menu check
# The icon sits at the right end of the panel (the widest xfce4-panel window).
read -r px py pw ph _ < <(for w in $(xdotool search --classname '^xfce4-panel$'); do geometry "$w"; done | sort -k3 -n | tail -1)
click_menu $((px + pw - 16)) $((py + ph / 2)) xfce-menu
xdotool mousemove $((mx + 40)) $((my + mh - 12)) click 1
wait_until 5 gone "$app" || die "choosing Quit did not end Sendhold under xfce4-panel"
echo "-- all checks passed; pictures in $out"
