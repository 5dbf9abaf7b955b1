#!/usr/bin/env bash
# Builds the Debian package from a configured build tree, checks its control
# fields, contents and systemd units, runs lintian, then (as root) installs it,
# checks the installed files and that the program starts, purges it, and
# upgrades a stand-in of version 0.1.0 (its uaccess rule) to it.
# Usage: check-package.sh <build-dir> <source-dir>
set -euo pipefail
build=$1
src=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cd "$build"
cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/out/sendhold_*.deb 2>/dev/null | head -n1)
[ -n "$deb" ] || fail "no sendhold_*.deb built"
echo "built $(basename "$deb")"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = sendhold ] || fail "Package is '$(field Package)'"
version=$(sed -n 's/^project(Sendhold VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
[ "$(field Version)" = "$version" ] || fail "Version '$(field Version)' is not the project's $version"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture $(field Architecture)"
depends=$(field Depends)
for lib in libqt6widgets6 libevdev2 libudev1 libc6 acl; do
    [[ "$depends" == *"$lib"* ]] || fail "Depends lacks $lib: $depends"
done
[[ "$(field Suggests)" == *gnome-shell-extension-appindicator* && "$(field Recommends)" != *gnome* ]] ||
    fail "the GNOME tray extension must be suggested, not recommended"

contents=$(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|')
expected=(
    /usr/bin/sendhold
    /usr/share/applications/io.github.sendhold.Sendhold.desktop
    /usr/share/icons/hicolor/scalable/apps/io.github.sendhold.Sendhold.svg
    /usr/share/icons/hicolor/48x48/apps/io.github.sendhold.Sendhold.png
    /usr/share/icons/hicolor/256x256/apps/io.github.sendhold.Sendhold.png
    /usr/libexec/sendhold/sendholdd
    /lib/systemd/system/sendhold.socket
    /lib/systemd/system/sendhold.service
    /usr/lib/modules-load.d/sendhold.conf
    /usr/share/man/man1/sendhold.1.gz
    /usr/share/doc/sendhold/copyright
    /usr/share/doc/sendhold/changelog.gz
    /usr/share/gnome-shell/extensions/sendhold-front@sendhold.github.io/extension.js
    /usr/share/gnome-shell/extensions/sendhold-front-legacy@sendhold.github.io/metadata.json
    /usr/share/sendhold/kwin/sendhold-front.js
)
for f in "${expected[@]}"; do
    grep -qx "$f" <<<"$contents" || fail "package lacks $f"
done
# Nothing of the system outside these places, and no test or developer tools.
unexpected=$(grep -v -E '^/usr/(bin/sendhold|libexec/sendhold/|share/(applications|icons|man|doc|sendhold)/|share/gnome-shell/extensions/sendhold-front|lib/modules-load\.d/)|^/lib/systemd/system/sendhold\.(socket|service)$|/$' <<<"$contents" || true)
[ -z "$unexpected" ] || fail "unexpected files: $unexpected"
dpkg-deb -e "$deb" "$work/control"
for script in postinst prerm postrm; do
    [ -x "$work/control/$script" ] || fail "no $script"
done
grep -q '/run/udev' "$work/control/postinst" || fail "postinst does not test /run/udev"
dpkg-deb -x "$deb" "$work/root"
# Nobody but the service may open keyboards: no uaccess grant anywhere.
! grep -rlI uaccess "$work/root" || fail "the package grants uaccess"
units="$work/root/lib/systemd/system"
grep -qx 'ListenStream=/run/sendhold/control.sock' "$units/sendhold.socket" || fail "socket path"
grep -qx 'ExecStart=/usr/libexec/sendhold/sendholdd' "$units/sendhold.service" || fail "ExecStart"
exposure=$(systemd-analyze security --offline=true --root="$work/root" sendhold.service |
    sed -n 's/.*Overall exposure level for sendhold.service: \([0-9.]*\).*/\1/p')
echo "sendhold.service exposure: $exposure"
awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 2.0) }' || fail "exposure '$exposure' is above 2.0"
if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$work/root/usr/share/applications/io.github.sendhold.Sendhold.desktop" ||
        fail "desktop entry does not validate"
fi

if command -v lintian >/dev/null; then
    # Accepted tags are explained in the README's packaging section.
    lintian --tag-display-limit 0 --suppress-tags-from-file "$src/packaging/lintian-accepted" \
        "$deb" >"$work/lintian.log" 2>&1 || true
    cat "$work/lintian.log"
    if grep -E '^(E|W):' "$work/lintian.log"; then fail "lintian reports errors or warnings"; fi
else
    fail "lintian is not installed"
fi

if [ "$(id -u)" -ne 0 ]; then
    echo "not root: install and purge checks skipped"
    exit 0
fi
if dpkg-query -W sendhold >/dev/null 2>&1; then
    fail "sendhold is already installed on this machine; refusing to touch it"
fi
install_checked() {
    dpkg -i "$1" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -i $1"; }
}
purge_checked() {
    mkdir -p /run/sendhold # as systemd makes it for the socket
    dpkg --purge sendhold >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg --purge"; }
    for f in "${expected[@]}" /run/sendhold; do
        [ ! -e "$f" ] || fail "$f is left after purge"
    done
    left=$(find /etc/systemd /var/lib/systemd -name '*sendhold*' 2>/dev/null)
    [ -z "$left" ] || fail "left after purge: $left"
    ! dpkg-query -W sendhold >/dev/null 2>&1 || fail "sendhold still known to dpkg after purge"
}
install_checked "$deb"
trap 'dpkg --purge sendhold >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
for f in "${expected[@]}"; do
    [ -e "$f" ] || fail "installed system lacks $f"
done
[ -L /etc/systemd/system/sockets.target.wants/sendhold.socket ] || fail "sendhold.socket is not enabled"
systemd-analyze verify --man=no /lib/systemd/system/sendhold.socket /lib/systemd/system/sendhold.service ||
    fail "systemd-analyze verify"
[ "$(command -v sendhold)" = /usr/bin/sendhold ] || fail "sendhold is not on PATH"

# Started with no display, the installed program runs its guard and says
# whether the keyboard hook could start.
home="$work/home"
mkdir -p "$home" "$work/run"
chmod 700 "$work/run"
env -i PATH=/usr/bin:/bin HOME="$home" XDG_RUNTIME_DIR="$work/run" XDG_CONFIG_HOME="$home/.config" \
    timeout -s TERM 5 sendhold >"$work/run.out" 2>"$work/run.err" || true
grep -q -x -E '監視スタート|権限エラー' "$work/run.out" || {
    cat "$work/run.out" "$work/run.err"
    fail "installed sendhold did not print its hook line"
}
echo "installed sendhold printed: $(head -n1 "$work/run.out")"

purge_checked

# Upgrade from 0.1.0 (its rule file and maintainer scripts, a dummy program).
old=$src/tests/packaging/v0.1.0
mkdir -p "$work/old/DEBIAN" "$work/old/usr/bin" "$work/old/usr/lib/udev/rules.d"
printf 'Package: sendhold\nVersion: 0.1.0\nArchitecture: %s\nMaintainer: none <none@example.org>\nDescription: 0.1.0 stand-in\n' \
    "$(dpkg --print-architecture)" >"$work/old/DEBIAN/control"
install -m 755 "$old/postinst" "$old/postrm" "$work/old/DEBIAN/"
install -m 755 /bin/true "$work/old/usr/bin/sendhold"
install -m 644 "$old/70-sendhold.rules" "$work/old/usr/lib/udev/rules.d/"
dpkg-deb --root-owner-group -b "$work/old" "$work/old.deb" >/dev/null
install_checked "$work/old.deb"
[ -e /usr/lib/udev/rules.d/70-sendhold.rules ] || fail "0.1.0 stand-in did not install its rule"
install_checked "$deb"
[ "$(dpkg-query -W -f '${Version}' sendhold)" = "$version" ] || fail "upgrade did not take"
[ ! -e /usr/lib/udev/rules.d/70-sendhold.rules ] || fail "0.1.0's uaccess rule is left after upgrade"
! grep -rls uaccess /etc/udev/rules.d /usr/lib/udev/rules.d /lib/udev/rules.d | grep sendhold ||
    fail "a sendhold uaccess rule remains after upgrade"
[ -L /etc/systemd/system/sockets.target.wants/sendhold.socket ] || fail "socket not enabled after upgrade"
purge_checked
echo "package checks passed"
