# Fetches the current stock Debian kernel without installing it on the host.
# Sourced by the VM scripts. fetch_kernel <cache dir> leaves, in
# <cache dir>/<package>/: vmlinuz, modules/*.ko (uncompressed) and
# modules/order (the modules the guest loads, dependencies first), and sets
# KERNEL_DIR to that folder.

# What the guest needs: evdev nodes, uinput, and a read-only 9p export of the
# host's /usr and build tree over virtio.
GUEST_MODULES="evdev uinput virtio_pci 9pnet_virtio 9p"

kernel_package() {
    apt-cache depends linux-image-amd64 2>/dev/null |
        sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*-amd64\)$/\1/p' | head -n 1
}

# Appends <module> after its dependencies to the guest's load order (depth
# first). The package ships no modules.dep (depmod makes it on installation),
# so dependencies come from each module's own "depends" field.
_add_module() {
    local name=$1 order=$KERNEL_DIR/modules/order file dep
    grep -qx "$name.ko" "$order" && return 0
    file=$(find "$KERNEL_STAGE/kernel" -name "$name.ko*" -o -name "${name//_/-}.ko*" | head -n 1)
    if [ -z "$file" ]; then
        # Built into the kernel: nothing to load.
        grep -qE "/${name//_/[_-]}\.ko$" "$KERNEL_STAGE/modules.builtin" && return 0
        echo "kernel.sh: module $name is neither in the package nor built in" >&2
        return 1
    fi
    local out=$KERNEL_DIR/modules/$name.ko
    case $file in
    *.ko) cp "$file" "$out" ;;
    *.ko.xz) xz -dc "$file" >"$out" ;;
    *.ko.zst) zstd -qdc "$file" >"$out" ;;
    *.ko.gz) gzip -dc "$file" >"$out" ;;
    esac || return 1
    for dep in $(modinfo -F depends "$out" | tr ',' ' '); do
        _add_module "$dep" || return 1
    done
    echo "$name.ko" >>"$order"
}

# Downloads and unpacks one attempt; fetch_kernel retries once after refreshing
# stale package lists (they can name a version the mirror no longer has).
_fetch_kernel() {
    local cache=$1 pkg
    pkg=$(kernel_package)
    if [ -z "$pkg" ]; then
        echo "kernel.sh: apt-cache knows no linux-image-amd64 (run apt-get update)" >&2
        return 1
    fi
    KERNEL_DIR=$cache/$pkg
    [ -f "$KERNEL_DIR/ready" ] && return 0

    rm -rf "$KERNEL_DIR" && mkdir -p "$KERNEL_DIR/modules" || return 1
    local work=$KERNEL_DIR/download
    mkdir -p "$work"
    echo "kernel.sh: downloading $pkg (not installed on this machine)"
    (cd "$work" && apt-get download -q "$pkg" >/dev/null 2>&1) || {
        echo "kernel.sh: apt-get download $pkg failed" >&2
        return 1
    }

    # Only the kernel image, the list of built-in modules and the few module folders the
    # guest needs: the whole package unpacks to several hundred megabytes.
    KERNEL_STAGE=$work/tree
    mkdir -p "$KERNEL_STAGE"
    dpkg-deb --fsys-tarfile "$work"/*.deb |
        tar -x -C "$KERNEL_STAGE" --wildcards '*/boot/vmlinuz-*' \
            '*/modules/*/modules.builtin' '*/kernel/drivers/input/*' '*/kernel/drivers/virtio/*' \
            '*/kernel/net/9p/*' '*/kernel/fs/9p/*' '*/kernel/fs/netfs/*' '*/kernel/fs/fscache/*' \
            2>/dev/null
    local vmlinuz moddir
    vmlinuz=$(find "$KERNEL_STAGE" -path '*/boot/vmlinuz-*' | head -n 1)
    moddir=$(dirname "$(find "$KERNEL_STAGE" -name modules.builtin | head -n 1)")
    if [ -z "$vmlinuz" ] || [ ! -f "$moddir/modules.builtin" ]; then
        echo "kernel.sh: $pkg holds no kernel image or module list" >&2
        return 1
    fi
    cp "$vmlinuz" "$KERNEL_DIR/vmlinuz"
    KERNEL_STAGE=$moddir
    local order=$KERNEL_DIR/modules/order m
    : >"$order"
    for m in $GUEST_MODULES; do
        _add_module "$m" || return 1
    done
    basename "$moddir" >"$KERNEL_DIR/release"
    rm -rf "$work"
    touch "$KERNEL_DIR/ready"
}

fetch_kernel() {
    _fetch_kernel "$1" && return 0
    [ "$(id -u)" -eq 0 ] || return 1
    echo "kernel.sh: refreshing the package lists and trying again"
    apt-get update -qq -o DPkg::Lock::Timeout=300 >/dev/null 2>&1
    _fetch_kernel "$1"
}
