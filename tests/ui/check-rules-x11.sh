#!/usr/bin/env bash
# Per-application rules under X11: openbox keeps _NET_ACTIVE_WINDOW as two test
# windows of different applications take turns in front, and the guard Sendhold
# asks a stand-in keyboard service for follows: off while the application on
# the list is in front, on otherwise. The tray menu, opened with each one in
# front, names it (pictures in the output directory).
# Usage: check-rules-x11.sh <sendhold> <output directory> <sendhold_test_window>
set -uo pipefail
bin=$1 out=$2 test_window=$3
. "$(dirname "$0")/lib.sh"
require Xvfb openbox trayer xdotool xprop import convert compare python3

# sendhold_window <awk condition on w h>: the first visible Sendhold window that meets it, "x y w h".
sendhold_window() { for w in $(xdotool search --onlyvisible --classname '^sendhold$' 2>/dev/null); do
    xdotool getwindowgeometry --shell "$w" | awk -F= '{v[NR] = $2} END {print v[2], v[3], v[4], v[5]}'
done | awk "{w = \$3; h = \$4} $1 {print; exit}"; }
icon() { sendhold_window 'w < 64 && h < 64'; }
menu() { sendhold_window 'w >= 270 && h >= 175'; }
window_of() { xdotool search --classname "^$1\$" 2>/dev/null | head -n1; }
# front <window> <guard>: brings a window to the front, then waits for the guard.
front() {
    xdotool windowactivate --sync "$1" || die "openbox did not bring $1 to the front"
    wait_until 5 guard_is "$2" || die "with $1 in front the guard stayed $(tail -n1 "$guard_log")"
}
# menu_with <window> <guard> <picture>: the tray menu, opened with that window in front.
menu_with() {
    front "$1" "$2"
    xdotool mousemove "$((ix + iw / 2))" "$((iy + ih / 2))" click 1
    wait_until 5 has menu || die "$3: the click opened no menu"
    read -r mx my _ < <(menu)
    sleep 0.3
    import -window root "$out/$3.png" || die "screenshot $3 failed"
    convert "$out/$3.png" -crop "250x22+${mx}+$((my + 42))" +repage "$work/$3-name.png"  # the name row
    xdotool key Escape
    wait_until 5 eval '! has menu' || die "$3: Escape left the menu open"
}

rm -rf "$out"
work=$out/run && private_home "$work" && guard_off_in org.example.Calc && start_xvfb "$work"
unset DBUS_SESSION_BUS_ADDRESS && export SENDHOLD_SOCKET=$work/service.sock
spawn openbox --sm-disable >"$work/openbox.log" 2>&1
wait_until 10 eval "xprop -root _NET_SUPPORTING_WM_CHECK | grep -q 'window id'" || die "openbox did not start"
stand_in "$SENDHOLD_SOCKET" "$work/guard.log"
spawn trayer --edge top --align right --widthtype request --height 32 --transparent false --tint 0x404040
spawn "$bin" >"$work/sendhold.out" 2>&1
wait_until 15 has icon || die "no tray icon: $(cat "$work/sendhold.out")"
read -r ix iy iw ih < <(icon)
spawn "$test_window" org.example.Calc '#c03030'
spawn "$test_window" org.example.Chat '#3060c0'
wait_until 10 has window_of org.example.Calc && wait_until 10 has window_of org.example.Chat ||
    die "the test windows did not open"
calc=$(window_of org.example.Calc) chat=$(window_of org.example.Chat)

# Back and forth: off with the listed application in front, on with the other.
for _ in 1 2 3; do front "$calc" off && front "$chat" on; done
# The menu names the application in front; opening it leaves the guard alone.
menu_with "$calc" off menu-calc
guard_is off || die "opening the menu over Calc turned the guard on"
menu_with "$chat" on menu-chat
difference=$(compare -metric AE "$work/menu-calc-name.png" "$work/menu-chat-name.png" null: 2>&1)
[ "${difference%% *}" -gt 50 ] 2>/dev/null || die "the menu names Calc and Chat alike"
echo "-- all checks passed; pictures in $out"
