# sway on its headless backend, for the checks that switch windows (after lib.sh).
# start_sway <work dir>: a home and runtime directory in it; exports WAYLAND_DISPLAY
# and SWAYSOCK. sway refuses root: then it runs as nobody, reached by full path.
start_sway() {
    local work=$1 as_user=()
    private_home "$work" && unset SWAYSOCK
    mkdir -p "$work/sway" && chmod 700 "$work/sway"
    printf 'xwayland disable\noutput HEADLESS-1 resolution 800x600 bg #336699 solid_color\n' >"$work/sway.conf"
    [ "$(id -u)" = 0 ] && as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups) &&
        chown nobody "$work/sway" && chmod o+rx "$work" "$(dirname "$work")" && chmod o+r "$work/sway.conf"
    spawn env XDG_RUNTIME_DIR="$work/sway" WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 \
        "${as_user[@]}" sway -c "$work/sway.conf" >"$work/sway.log" 2>&1
    sway_pid=$pid
    wait_until 10 test -S "$work/sway/wayland-1" || die "sway did not start: $(tail -3 "$work/sway.log")"
    export WAYLAND_DISPLAY=$work/sway/wayland-1 SWAYSOCK=$(echo "$work"/sway/sway-ipc.*.sock)
}
# open_window <sendhold_test_window> <app_id> <colour>: returns once sway shows it.
open_window() {
    QT_QPA_PLATFORM=wayland spawn "$1" "$2" "$3"
    wait_until 10 eval "swaymsg -t get_tree | grep -q '\"app_id\": \"$2\"'" || die "window $2 did not open"
}
