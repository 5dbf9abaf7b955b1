#!/usr/bin/env bash
# Sendhold under Wayland: sway's headless backend with waybar's tray as the
# StatusNotifierItem host, on a private session bus; clicked through swaymsg
# and photographed with grim into the output directory.
# Usage: check-wayland.sh <sendhold executable> <output directory>
set -uo pipefail
bin=$1 out=$(realpath -m "$2")
. "$(dirname "$0")/lib.sh" && . "$(dirname "$0")/sway-headless.sh"
require sway swaymsg waybar wayvnc grim dbus-run-session busctl convert python3 setpriv
own_bus "$0" "$@"

shoot() { grim "$out/$1.png" || die "screenshot $1 failed"; }
# click <x> <y> [button]
click() { local b=${3:-button1}; swaymsg -q seat seat0 cursor set "$1" "$2" &&
    swaymsg -q seat seat0 cursor press "$b" && swaymsg -q seat seat0 cursor release "$b"; }
has_item() { busctl --user get-property org.kde.StatusNotifierWatcher /StatusNotifierWatcher \
    org.kde.StatusNotifierWatcher RegisteredStatusNotifierItems 2>/dev/null | grep -q '^as [1-9]'; }
# The icon: what differs from the bar's colour in its picture, "w h x y" in icon (about 22 x 14).
found_icon() {
    shoot bar
    icon=$(convert "$out/bar.png" -crop 800x30+0+0 +repage -fuzz 3% -trim -format '%w %h %X %Y' info: 2>/dev/null)
    read -r iw ih _ <<<"$icon" && [ "$iw" -ge 10 ] && [ "$iw" -le 40 ] && [ "$ih" -ge 6 ]
}
# contrast <picture>: photographs; prints the icon's mean difference from the bar.
contrast() {
    shoot "$1"
    convert "$out/$1.png" -crop "${iw}x${ih}+${ix}+${iy}" +repage \( +clone -fill '#202020' -colorize 100 \) \
        -compose difference -composite -colorspace gray -format '%[fx:mean]' info:
}
faded() { awk -v c="$(contrast wayland-off)" -v on="$on" 'BEGIN {exit !(c < 0.6 * on)}'; }
# waybar's menu: what changed at the top since wayland-off, as "w h x y" in menu.
menu_shown() {
    shoot wayland-context
    menu=$(compare -fuzz 3% "$out/wayland-off.png" "$out/wayland-context.png" -compose src -highlight-color white \
        -lowlight-color black png:- | convert - -crop 800x200+0+0 -trim -format '%w %h %X %Y' info:)
    read -r _ mh _ <<<"$menu" && [ "$mh" -ge 40 ]
}
# Sendhold's visible windows in sway's tree: "x y w h floating|tiled title".
windows() {
    swaymsg -r -t get_tree | python3 -c 'import json, sys
def walk(n, kind):
    if n.get("app_id") == "io.github.sendhold.Sendhold" and n["visible"]:
        print(*(n["rect"][k] for k in ("x", "y", "width", "height")), kind, n["name"])
    for c in n["nodes"]: walk(c, kind)
    for c in n["floating_nodes"]: walk(c, "floating")
walk(json.load(sys.stdin), "tiled")'
}
# wait_window <picture>: the small floating window named Sendhold, not a menu tiled over the screen.
wait_window() {
    wait_until 5 has windows || die "$1: no window opened: $(cat "$work/app.out")"
    sleep 0.5 && shoot "$1"
    read -r _ _ ww wh kind title < <(windows)
    [ "$kind $title" = "floating Sendhold" ] && [ "$ww" -le 400 ] && [ "$wh" -le 400 ] ||
        die "$1: the window is '$(windows)', not the small floating Sendhold window"
}

rm -rf "$out" && work=$out/run && mkdir -p "$work" && start_sway "$work"
echo '{"position": "top", "height": 30, "modules-right": ["tray"], "tray": {"icon-size": 22}}' >"$work/waybar.json"
echo 'window#waybar { background: #202020; }' >"$work/waybar.css"
# The headless seat has no pointer, so clients would ignore every click: wayvnc
# (on a Unix socket, with no client) adds a virtual one for swaymsg to move.
spawn wayvnc --unix-socket "$work/vnc.sock" >"$work/wayvnc.log" 2>&1
wait_until 10 eval 'swaymsg -r -t get_seats | grep -q "\"type\": \"pointer\""' || die "no pointer: $(cat "$work/wayvnc.log")"
spawn waybar -c "$work/waybar.json" -s "$work/waybar.css" >"$work/waybar.log" 2>&1

# The icon comes into waybar's tray through StatusNotifierItem. DISPLAY (XWayland
# in a real session; here it leads nowhere) must not take Sendhold off Wayland.
DISPLAY=:4242 spawn "$bin" >"$work/app.out" 2>&1
app=$pid
wait_until 15 has_item || die "no StatusNotifierItem registered: $(cat "$work/app.out")"
wait_until 5 found_icon || die "no icon in the bar (found '$icon')"
read -r iw ih ix iy <<<"$icon"
has windows && die "a window opened uninvited at start-up"
on=$(contrast wayland-on)

# A left click on the icon opens the panel.
click $((ix + iw / 2)) $((iy + ih / 2))
wait_window wayland-click
swaymsg -q '[app_id=io.github.sendhold.Sendhold] kill'
wait_until 5 eval '! has windows' || die "the window did not close"

# A second start leaves at once and silently, and the running copy shows its window.
second_copy "$bin"
wait_window wayland-second

# The window takes clicks: its switch (top right) fades the icon.
read -r wx wy ww _ < <(windows)
click $((wx + ww - 31)) $((wy + 29))
wait_until 5 faded || die "the switch in the window did not fade the icon"
# waybar's right-click menu comes from Sendhold's context menu; its last row, Quit, ends it.
click $((ix + iw / 2)) $((iy + ih / 2)) button3
wait_until 5 menu_shown || die "a right click on the icon showed no menu"
read -r mw mh mx my <<<"$menu"
click $((mx + 40)) $((my + mh - 14))
wait_until 5 gone "$app" || die "Quit in waybar's menu (at $mx,$my ${mw}x$mh) did not end Sendhold"
wait "$app" || die "Sendhold did not exit cleanly after Quit"
echo "-- all checks passed; pictures in $out"
