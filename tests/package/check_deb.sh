#!/usr/bin/env bash
# Builds the Debian package, installs it with dpkg, runs what it installed,
# and purges it again: nothing may be left behind. Installing needs root (the
# package runs ldconfig as it is configured); without root, or with a qivma
# package already installed that this must not disturb, it is skipped.
#   check_deb.sh BUILD_DIR
set -euo pipefail
build_dir=$1
readonly skipped=77

if [ "$(id -u)" -ne 0 ]; then
    echo "the Debian package is installed only as root: skipped"
    exit $skipped
fi
if dpkg-query -W -f='${Status}' qivma 2>/dev/null | grep -q 'install ok installed'; then
    echo "a qivma package is installed here already: skipped"
    exit $skipped
fi

cd "$build_dir"
rm -f qivma_*.deb
# As after the demo, which builds only the tools: what they need is made
# with them, the manual pages among it.
rm -f man/*.1.gz
cmake --build . --target qivma_tool fpsim_tool qivma_gateway >/dev/null
cpack -G DEB >/dev/null
deb=$(ls qivma_*.deb)

installed=()
trap 'if [ ${#installed[@]} -gt 0 ]; then dpkg --purge qivma >/dev/null 2>&1 || true; fi' EXIT
dpkg -i "$deb" >/dev/null
installed=(qivma)
for file in /usr/bin/qivma /usr/bin/fpsim /usr/include/qivma.h /usr/lib/pkgconfig/qivma.pc \
    /usr/share/man/man1/qivma.1.gz /usr/share/man/man1/fpsim.1.gz \
    /usr/share/bash-completion/completions/qivma /usr/share/bash-completion/completions/fpsim \
    /usr/share/doc/qivma/copyright /usr/bin/qivma-gateway /usr/share/man/man1/qivma-gateway.1.gz \
    /usr/lib/systemd/system/qivma-gateway.service /etc/qivma/gateway.yaml; do
    if [ ! -e "$file" ]; then
        echo "the package did not install $file" >&2
        exit 1
    fi
done
files=$(dpkg -L qivma)

# Programs and libraries stripped; the logging stand-in only where the tool
# looks for it, not among the system's libraries.
for file in /usr/bin/qivma /usr/bin/fpsim /usr/bin/qivma-gateway /usr/lib/libqivma.so.*.*; do
    if file -L "$file" | grep -q 'with debug_info\|not stripped'; then
        echo "the package holds $file with its debug information: $(file -L "$file")" >&2
        exit 1
    fi
done
if grep -q '^/usr/lib/libkelpra' <<<"$files"; then
    echo "the logging stand-in is installed among the system's libraries:" >&2
    grep kelpra <<<"$files" >&2
    exit 1
fi

# The installed tools run with the installed library, and their pages render.
(cd / && env -u LD_LIBRARY_PATH /usr/bin/qivma --version)
(cd / && /usr/bin/fpsim --help >/dev/null)
MANWIDTH=80 man qivma 2>/dev/null | grep -q qivma
MANWIDTH=80 man fpsim 2>/dev/null | grep -q fpsim
MANWIDTH=80 man qivma-gateway 2>/dev/null | grep -q qivma-gateway

# The gateway's service: installed, not enabled, its unit accepted by systemd,
# and the installed program takes the installed example.
if ls /etc/systemd/system/*.wants/qivma-gateway.service >/dev/null 2>&1; then
    echo "the package enabled qivma-gateway.service" >&2
    exit 1
fi
if command -v systemd-analyze >/dev/null; then
    systemd-analyze verify /usr/lib/systemd/system/qivma-gateway.service
else
    echo "systemd-analyze is not installed: the unit is not verified"
fi
(cd / && /usr/bin/qivma-gateway --check --config /etc/qivma/gateway.yaml >/dev/null)
if ! dpkg-query -W -f='${Conffiles}' qivma | grep -q '/etc/qivma/gateway.yaml'; then
    echo "the gateway's configuration is not a conffile: an upgrade would overwrite it" >&2
    exit 1
fi

dpkg --purge qivma >/dev/null
installed=()
while read -r path; do
    if [ -f "$path" ] || [ -L "$path" ]; then
        echo "purging the package left $path behind" >&2
        exit 1
    fi
done <<<"$files"
echo "$deb installs, runs and purges cleanly"
