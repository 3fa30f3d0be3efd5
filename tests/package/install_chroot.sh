#!/usr/bin/env bash
# The four packages on a clean minimal Debian 12, as an administrator meets
# them: installed with apt (which must find every dependency), each program
# run once, a C program built with pkg-config, the service enabled and
# running, an upgrade to a rebuilt revision, remove, purge, and nothing left
# behind.
#
# The system is made with debootstrap from the mirror this machine's apt
# uses, once, under the build folder, and copied for each run. It has no
# systemd: the maintainer scripts' calls go through deb-systemd-helper, whose
# state files are read here, and deb-systemd-invoke, which calls systemctl:
# a stand-in systemctl records the calls and plays a running service.
#   install_chroot.sh BUILD_DIR PACKAGES_DIR UPGRADE_DIR
set -euo pipefail
build_dir=$(cd "$1" && pwd)
packages=$(cd "$2" && pwd)
upgrade=$(cd "$3" && pwd)
readonly skipped=77
readonly suite=bookworm

skip() {
    echo "skipped: $*"
    exit $skipped
}

[ "$(id -u)" -eq 0 ] || skip "the install test makes a chroot, which needs root"
command -v debootstrap >/dev/null || skip "debootstrap is not installed (scripts/setup.sh installs it)"
unshare --mount true 2>/dev/null ||
    skip "no mount namespace here (unshare --mount), so the chroot's /proc and /dev/pts cannot be mounted"

# The mirror of this machine's Debian entries (deb822 or one-line sources).
mirror_of_this_machine() {
    local file
    for file in /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] || continue
        awk -v suite="$suite" '
            /^URIs:/ { uri = $2 }
            /^Suites:/ { for (i = 2; i <= NF; ++i) if ($i == suite) found = 1 }
            /^$/ { if (found && uri) { print uri; exit } found = 0; uri = "" }
            END { if (found && uri) print uri }' "$file"
    done
    cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
        awk -v suite="$suite" '$1 == "deb" && $3 == suite { print $2 }' || true
}
mirror=$(mirror_of_this_machine | head -1 || true)
[ -n "$mirror" ] || skip "this machine's apt has no $suite entry to take the mirror from"

work=$build_dir/tests/package/install
base=$work/$suite-base
root=$work/root
mkdir -p "$work"
started=$SECONDS
if [ ! -e "$base/.complete" ]; then
    # No mount ever lives under these folders outside this test's own mount
    # namespace, so removing them removes nothing of the machine.
    rm -rf "$base" "$base.tmp"
    if ! debootstrap --variant=minbase --include=gcc,libc6-dev,pkg-config "$suite" "$base.tmp" \
        "$mirror" >"$work/debootstrap.log" 2>&1; then
        skip "debootstrap from $mirror failed: $(grep -E '^[EW]:' "$work/debootstrap.log" | tail -1)"
    fi
    echo "deb $mirror $suite main" >"$base.tmp/etc/apt/sources.list"
    mv "$base.tmp" "$base"
    touch "$base/.complete"
    echo "debootstrap of $suite from $mirror: $((SECONDS - started)) s (kept in $base)"
fi
rm -rf "$root"
cp -a "$base" "$root"
mkdir -p "$root/debs/1" "$root/debs/2"
cp "$packages"/*.deb "$root/debs/1/"
cp "$upgrade"/*.deb "$root/debs/2/"
cp /etc/resolv.conf "$root/etc/resolv.conf"
cp "$(dirname "$0")/in_chroot.sh" "$root/in_chroot.sh"

# The stand-in for systemctl, on the PATH that apt gives dpkg, but not where
# deb-systemd-helper looks for a real one (/bin, /usr/bin). A unit is running
# while /run/active/UNIT exists.
mkdir -p "$root/run/systemd/system" "$root/run/active"
cat >"$root/usr/sbin/systemctl" <<'EOF'
#!/bin/sh
echo "$*" >>/var/log/systemctl.calls
for unit; do :; done
case " $* " in
*" is-active "*) [ -e "/run/active/$unit" ] ;;
*" is-enabled "*) if ls /etc/systemd/system/*.wants/"$unit" >/dev/null 2>&1; then echo enabled; else echo disabled; exit 1; fi ;;
*" stop "*) rm -f "/run/active/$unit" ;;
*) exit 0 ;;
esac
EOF
chmod 755 "$root/usr/sbin/systemctl"

unshare --mount --propagation private bash -euo pipefail -c '
    root=$1
    mount -t proc proc "$root/proc"
    mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "$root/dev/pts"
    [ -e "$root/dev/ptmx" ] || touch "$root/dev/ptmx"
    mount --bind "$root/dev/pts/ptmx" "$root/dev/ptmx"
    for node in null zero random urandom tty; do
        [ -c "$root/dev/$node" ] || { touch "$root/dev/$node"; mount --bind "/dev/$node" "$root/dev/$node"; }
    done
    chroot "$root" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        HOME=/root LANG=C.UTF-8 bash /in_chroot.sh
' install "$root"
echo "installed, upgraded, removed and purged on a clean $suite in $((SECONDS - started)) s"
rm -rf "$root"
