#!/usr/bin/env bash
# Installs what the builds and tests need on Debian 12. Idempotent: when
# everything is already there it changes nothing and needs no network.
set -euo pipefail

packages=(
    cmake ninja-build g++ binutils file        # the native 64-bit build
    googletest                                 # GoogleTest sources, built with each preset
    gcc-multilib g++-multilib                  # the 32-bit Linux build (-m32)
    g++-mingw-w64-i686 mingw-w64-tools         # the 32-bit Windows DLL
    wine wine32:i386                           # to run it
    socat                                      # the wine suite's null-modem pair of COM ports
    clang libclang-rt-14-dev                   # libFuzzer and the sanitizers' runtime
    libcli11-dev nlohmann-json3-dev tmux       # the tool's command line and JSON; its poll test
    qemu-system-x86 busybox-static             # the uart lane: an emulated PC and its guest's shell
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "setup: missing packages: ${missing[*]}; run this script as root to install them" >&2
    exit 1
fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# wine32 comes from the i386 architecture.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
fi
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
