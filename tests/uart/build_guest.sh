#!/usr/bin/env bash
# Builds the uart lane's guest into the build tree, from Debian's packages:
# Debian's kernel (downloaded once, kept in GUEST-DIR/kernel), busybox-static
# as the guest's shell, the guest program with every shared library that it
# loads, and an init that runs the program on ttyS1 and powers the PC off.
# The initramfs is rebuilt only when one of its inputs has changed.
#
# usage: build_guest.sh GUEST-DIR PROGRAM
# Exit status 0 with GUEST-DIR/kernel/vmlinuz and GUEST-DIR/initramfs.cpio;
# 77, after one line, with GUEST-DIR/unavailable saying what this machine lacks.
set -euo pipefail

guest=$1
program=$2
kernel=$guest/kernel
# The virtio console and control line, in the order of their dependencies;
# each one that Debian builds into the kernel is skipped.
modules=(virtio_ring virtio virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci virtio_console)

mkdir -p "$guest"
rm -f "$guest/unavailable"

unavailable() {
    echo "uart lane: $*"
    echo "$*" >"$guest/unavailable"
    exit 77
}

kernel_package() {
    apt-cache depends linux-image-amd64 2>/dev/null |
        sed -n 's/^ *Depends: \(linux-image-[^ ]*\)$/\1/p' | head -n 1 || true
}

# A module file, uncompressed, as busybox's insmod takes it.
copy_module() {
    local source=$1 target=$2
    case "$source" in
        *.ko) cp "$source" "$target" ;;
        *.ko.xz) xz -dc "$source" >"$target" ;;
        *.ko.gz) gzip -dc "$source" >"$target" ;;
        *.ko.zst) zstd -qdc "$source" >"$target" ;;
    esac
}

fetch_kernel() {
    if ! command -v apt-get >/dev/null || ! command -v dpkg-deb >/dev/null; then
        unavailable "no apt-get and dpkg-deb to fetch Debian's kernel"
    fi
    local package
    package=$(kernel_package)
    if [ -z "$package" ] && [ "$(id -u)" -eq 0 ]; then
        apt-get update -qq >/dev/null 2>&1 || true
        package=$(kernel_package)
    fi
    [ -n "$package" ] || unavailable "apt knows no linux-image-amd64 (apt-get update first)"

    work=$(mktemp -d "$guest/download.XXXXXX")
    trap 'rm -rf "${work:-}"' EXIT
    echo "uart lane: downloading $package (once; kept in $kernel)"
    (cd "$work" && apt-get download -q -o APT::Sandbox::User=root "$package") >/dev/null 2>&1 ||
        unavailable "cannot download $package"
    dpkg-deb -x "$work"/*.deb "$work/root"

    local config
    config=$(find "$work/root/boot" -name 'config-*' | head -n 1 || true)
    grep -qx 'CONFIG_SERIAL_8250=y' "$config" ||
        unavailable "$package has no built-in 8250 serial driver"
    mkdir -p "$work/kernel/modules"
    cp "$work"/root/boot/vmlinuz-* "$work/kernel/vmlinuz"
    local builtin
    builtin=$(find "$work/root" -name modules.builtin | head -n 1 || true)
    local index=1 module found
    for module in "${modules[@]}"; do
        found=$(find "$work/root" -name "$module.ko*" | head -n 1 || true)
        if [ -n "$found" ]; then
            copy_module "$found" "$work/kernel/modules/$index-$module.ko"
            index=$((index + 1))
        elif ! grep -q "/$module.ko\$" "$builtin"; then
            unavailable "$package has no $module"
        fi
    done
    echo "$package" >"$work/kernel/package"
    rm -rf "$kernel"
    mv "$work/kernel" "$kernel"
}

# The files that the program loads, as ldd finds them: NAME PATH per line.
libraries_of() {
    ldd "$1" | awk '$2 == "=>" && $3 ~ /^\// { print $1, $3 } $1 ~ /^\// { print $1, $1 }'
}

write_init() {
    cat >"$1" <<'EOF'
#!/bin/busybox sh
# The uart lane's guest: the virtio console and control line, then the
# session over ttyS1, then power off (QEMU exits with the guest).
/bin/busybox --install -s /bin
export PATH=/bin
mount -t devtmpfs dev /dev
mount -t proc proc /proc
mount -t sysfs sys /sys
for module in /lib/modules/*.ko; do
    [ -e "$module" ] && insmod "$module"
done
# The ports appear as the host acknowledges them; wait at most 10 s.
control=
tries=0
while [ -z "$control" ] || [ ! -e /dev/hvc0 ]; do
    for port in /sys/class/virtio-ports/*; do
        [ "$(cat "$port/name" 2>/dev/null)" = qivma.control ] && control=/dev/${port##*/}
    done
    tries=$((tries + 1))
    [ "$tries" -lt 1000 ] || break
    usleep 10000
done
exec >/dev/hvc0 2>&1
clock=$(cat /sys/devices/system/clocksource/clocksource0/current_clocksource)
echo "guest: Linux $(uname -r), clock source $clock, control line ${control:-missing}"
grep -v unknown /proc/tty/driver/serial
LD_LIBRARY_PATH=/lib /bin/qivma_uart_session "$control" ttyS1 --gtest_color=no
echo "guest: the session ended with status $?"
poweroff -f
EOF
    chmod 755 "$1"
}

build_initramfs() {
    local busybox=$1 stamp=$2
    local root=$guest/root
    rm -rf "$root"
    mkdir -p "$root/bin" "$root/dev" "$root/proc" "$root/sys" "$root/lib/modules"
    cp "$busybox" "$root/bin/busybox"
    strip -o "$root/bin/qivma_uart_session" "$program"
    cp "$kernel"/modules/*.ko "$root/lib/modules/" 2>/dev/null || true
    local name path
    while read -r name path; do
        if [ "$name" = "$path" ]; then
            # The program interpreter: where the program names it.
            mkdir -p "$root$(dirname "$path")"
            cp -L "$path" "$root$path"
        else
            strip --strip-debug -o "$root/lib/$name" "$(readlink -f "$path")"
        fi
    done < <(libraries_of "$program")
    write_init "$root/init"
    (cd "$root" && find . | sort | busybox cpio -o -H newc -R 0:0 2>/dev/null) \
        >"$guest/initramfs.cpio.new"
    mv "$guest/initramfs.cpio.new" "$guest/initramfs.cpio"
    echo "$stamp" >"$guest/initramfs.stamp"
    rm -rf "$root"
}

[ -x "$program" ] || { echo "uart lane: no guest program $program" >&2; exit 1; }
command -v qemu-system-x86_64 >/dev/null ||
    unavailable "no qemu-system-x86_64 (bash scripts/setup.sh installs it)"
[ -f "$kernel/vmlinuz" ] || fetch_kernel

busybox=$(command -v busybox) || unavailable "no busybox (busybox-static)"
if ldd "$busybox" >/dev/null 2>&1; then
    unavailable "$busybox is not a static busybox (busybox-static)"
fi

# Everything that goes into the initramfs, and this script, decide whether
# the one built last time still holds.
stamp=$(
    {
        cat "$0" "$program" "$busybox" "$kernel/package"
        libraries_of "$program" | while read -r _ path; do cat "$path"; done
    } | sha256sum | cut -d' ' -f1
)
if [ -f "$guest/initramfs.cpio" ] && [ "$(cat "$guest/initramfs.stamp" 2>/dev/null)" = "$stamp" ]; then
    echo "uart lane: guest up to date ($(cat "$kernel/package"))"
    exit 0
fi
build_initramfs "$busybox" "$stamp"
echo "uart lane: guest built ($(cat "$kernel/package"), $(du -k "$guest/initramfs.cpio" | cut -f1) kB initramfs)"
