# Builds the test guest's initramfs. Sourced by the VM scripts.
# build_initramfs <output.gz> <kernel dir> <build dir> <command file>
# The image holds busybox-static, the kernel's modules,
# tests/vm/guest-init as /init, the command to run and the dynamic loader's
# cache; /lib and /lib64 point into the host's /usr, mounted over 9p.

VM_SCRIPTS=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

build_initramfs() {
    local out=$1 kernel=$2 build=$3 command=$4 root
    root=$(mktemp -d "${out%/*}/initramfs.XXXXXX") || return 1
    mkdir -p "$root"/{bin,sbin,etc,proc,sys,dev,tmp,run,usr,vm,modules}
    cp /bin/busybox "$root/bin/busybox"
    # The other applet links are made by /init in the guest: much faster than
    # hundreds of ln processes here.
    ln -s busybox "$root/bin/sh"
    ln -s usr/lib "$root/lib"
    ln -s usr/lib64 "$root/lib64"
    [ -f /etc/ld.so.cache ] && cp /etc/ld.so.cache "$root/etc/"
    echo "root:x:0:0:root:/root:/bin/sh" >"$root/etc/passwd"
    echo "root:x:0:" >"$root/etc/group"
    cp "$kernel"/modules/*.ko "$kernel/modules/order" "$root/modules/"
    cp "$VM_SCRIPTS/guest-init" "$root/init"
    chmod 755 "$root/init"
    cp "$command" "$root/vm/command"
    printf 'BUILD_DIR=%q\n' "$build" >"$root/vm/exports"
    (cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$out"
    local status=$?
    rm -rf "$root"
    return $status
}
