#!/usr/bin/env bash
# Installs what the builds and tests need on Debian 12, and makes 32-bit
# programs run on a kernel that cannot execute them itself. Idempotent: when
# everything is already there it changes nothing and needs no network.
set -euo pipefail

packages=(
    cmake ninja-build g++ binutils file        # the native 64-bit build
    googletest                                 # GoogleTest sources, built with each preset
    gcc-multilib g++-multilib                  # the 32-bit Linux build (-m32)
    g++-mingw-w64-i686 mingw-w64-tools         # the 32-bit Windows DLL
    g++-mingw-w64-x86-64                       # the 64-bit Windows DLL
    wine wine64                                # to run the 64-bit Windows build
    socat                                      # the wine suite's null-modem pair of COM ports
    clang libclang-rt-14-dev                   # libFuzzer and the sanitizers' runtime
    libcli11-dev nlohmann-json3-dev tmux       # the tool's command line and JSON; its poll test
    qemu-system-x86 busybox-static             # the uart lane: an emulated PC and its guest's shell
    libmodbus-dev libyaml-cpp-dev              # the gateway: Modbus TCP and its configuration
    mbpoll                                     # a Modbus client that the gateway's tests drive
    libmosquitto-dev libcpp-httplib-dev        # the gateway: MQTT, the status page and metrics
    libsystemd-dev                             # the gateway: readiness for its Type=notify unit
    lintian devscripts debootstrap             # the packages' checks and their install test
    mosquitto mosquitto-clients curl           # the broker and clients of the MQTT tests and demo
    chromium prometheus                        # the status page in a browser; promtool for /metrics
)

probe_dir=$(mktemp -d)
trap 'rm -rf "$probe_dir"' EXIT

is_root() { [ "$(id -u)" -eq 0 ]; }

missing_of() {
    local package
    for package in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
            printf '%s\n' "$package"
        fi
    done
}

# A mirror in the middle of a sync serves an index of the wrong size for a
# minute or so: tried again after a pause. If one index still fails, the
# install goes on with the lists that did come; it fails loudly itself if a
# package cannot be found.
update_package_lists() {
    local log=$1 try
    for try in 1 2 3; do
        apt-get update -qq >"$log" 2>&1 && return 0
        [ "$try" -lt 3 ] && sleep 20
    done
    echo "setup: apt-get update failed three times; going on with the package lists it has:" >&2
    grep -E '^(E|W):' "$log" >&2 || cat "$log" >&2
}

install_packages() {
    local missing
    mapfile -t missing < <(missing_of "$@")
    [ ${#missing[@]} -eq 0 ] && return 0
    if ! is_root; then
        echo "setup: missing packages: ${missing[*]}; run this script as root to install them" >&2
        exit 1
    fi
    echo "setup: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    # wine32 comes from the i386 architecture.
    if printf '%s\n' "${missing[@]}" | grep -q ':i386$' &&
        ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
        apt_updated=""
    fi
    # apt's own output only when it fails.
    local log="$probe_dir/apt.log"
    if [ -z "${apt_updated:-}" ]; then
        update_package_lists "$log"
        apt_updated=yes
    fi
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >"$log" 2>&1 ||
        { cat "$log" >&2; exit 1; }
}

install_packages "${packages[@]}"

# The gateway's tests also drive a Modbus client from npm. A machine that has
# Node.js from elsewhere keeps it; Debian's is installed only where none is.
if ! command -v npm >/dev/null; then
    install_packages nodejs npm
fi

# --- 32-bit programs ---------------------------------------------------------
# Some kernels have no IA32 emulation: an i386 program fails there with "Exec
# format error". qemu-user, registered with binfmt_misc, then runs every i386
# program, so that the 32-bit build and its tests run as on any machine. The
# registration lasts until the machine restarts.
binfmt=/proc/sys/fs/binfmt_misc
qemu_entry=$binfmt/qemu-i386
i386_magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
i386_mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

runs_32bit() {
    [ -x "$probe_dir/probe" ] ||
        echo 'int main(void) { return 0; }' | gcc -m32 -x c - -o "$probe_dir/probe"
    "$probe_dir/probe" 2>/dev/null
}

register_qemu_i386() {
    install_packages qemu-user-static
    if [ ! -e "$binfmt/register" ]; then
        mount -t binfmt_misc binfmt_misc "$binfmt"
    fi
    if [ -e "$qemu_entry" ]; then
        echo 1 >"$qemu_entry"
    else
        # F: the kernel opens the emulator now, so that it serves every
        # namespace and every later exec.
        printf ':qemu-i386:M::%s:%s:/usr/bin/qemu-i386-static:F' "$i386_magic" "$i386_mask" \
            >"$binfmt/register"
    fi
}

if ! runs_32bit; then
    if ! is_root; then
        echo "setup: this kernel cannot run 32-bit programs; run this script as root to register qemu-user for them" >&2
        exit 1
    fi
    if register_qemu_i386 2>"$probe_dir/why" && runs_32bit; then
        echo "setup: this kernel cannot run 32-bit programs; registered qemu-i386 with binfmt_misc, which now runs them"
    else
        echo "setup: this kernel cannot run 32-bit programs, and qemu-user could not be registered: $(tr '\n' ' ' <"$probe_dir/why")" >&2
        exit 1
    fi
fi

# wine32 only where 32-bit programs run natively: under qemu-user it is far
# too slow to start, and the Windows code runs under wine64 instead.
# Without it the wine32 lane says what is missing and is skipped, so a mirror
# that cannot serve it today does not stop the rest.
if ! grep -qx enabled "$qemu_entry" 2>/dev/null; then
    if ! (install_packages wine32:i386); then
        echo "setup: wine32 could not be installed; the wine32 lane will be skipped and say why" >&2
    fi
fi
