#!/usr/bin/env bash
# Builds the Debian packages, and a second set at the next revision for the
# install test's upgrade, and judges them without installing them: what each
# package holds, lintian (no error; each warning one that docs/testing.md
# names with why it stays), hardening-check on every program and library, and
# systemd-analyze on the gateway's unit (verify, and an exposure of at most
# 3.0).
#   check_deb.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source_dir=$(cd "$1" && pwd)
build_dir=$(cd "$2" && pwd)
readonly skipped=77
readonly revision_upgrade=2

for tool in lintian hardening-check systemd-analyze dpkg-deb; do
    if ! command -v $tool >/dev/null; then
        echo "skipped: $tool is not installed (scripts/setup.sh installs it)"
        exit $skipped
    fi
done

fail() {
    echo "$*" >&2
    exit 1
}

cd "$build_dir"
# As after the demo, which builds only the tools: what they need is made
# with them, the manual pages among it.
rm -f man/*.1.gz
cmake --build . --target qivma_tool fpsim_tool qivma_gateway >/dev/null
packages=$build_dir/deb/packages
upgrade=$build_dir/deb/upgrade
rm -rf "$packages" "$upgrade"
mkdir -p "$build_dir/deb"
# cpack's own words only when it fails: it warns of the logging stand-in,
# which has no soname version because no one but our programs links it.
cpack -G DEB -B "$packages" >"$build_dir/deb/cpack.log" 2>&1 ||
    { cat "$build_dir/deb/cpack.log" >&2; fail "cpack failed"; }
cpack -G DEB -B "$upgrade" -D CPACK_DEBIAN_PACKAGE_RELEASE=$revision_upgrade \
    >"$build_dir/deb/cpack.log" 2>&1 || { cat "$build_dir/deb/cpack.log" >&2; fail "cpack failed"; }
rm -rf "$packages/_CPack_Packages" "$upgrade/_CPack_Packages"
version=$(dpkg-deb -f "$packages"/qivma_*.deb Version)
arch=$(dpkg-deb -f "$packages"/qivma_*.deb Architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)

# --- what each package holds ----------------------------------------------------
contents_of() { dpkg-deb -c "$packages/$1_${version}_$arch.deb" | awk '{print $6}' | sed 's|^\.||'; }
expect() {
    local package=$1 contents
    shift
    contents=$(contents_of "$package")
    for file in "$@"; do
        grep -qx "$file" <<<"$contents" || fail "$package does not hold $file"
    done
}
expect libqivma7 /usr/lib/$multiarch/libqivma.so.7 /usr/lib/$multiarch/qivma/libkelpra.so \
    /usr/share/doc/libqivma7/copyright /usr/share/doc/libqivma7/changelog.Debian.gz
expect libqivma-dev /usr/include/qivma.h /usr/include/qivma_version.h /usr/lib/$multiarch/libqivma.so \
    /usr/lib/$multiarch/pkgconfig/qivma.pc /usr/share/doc/libqivma-dev/copyright
expect qivma /usr/bin/qivma /usr/bin/fpsim /usr/share/man/man1/qivma.1.gz /usr/share/man/man1/fpsim.1.gz \
    /usr/share/bash-completion/completions/qivma /usr/share/bash-completion/completions/fpsim \
    /usr/share/doc/qivma/copyright
expect qivma-gateway /usr/bin/qivma-gateway /usr/share/man/man1/qivma-gateway.1.gz \
    /usr/lib/systemd/system/qivma-gateway.service /etc/qivma/gateway.yaml /etc/qivma/mqtt-password \
    /usr/share/doc/qivma-gateway/gateway.md
# The development link only in -dev; the logging stand-in never among the system's libraries.
contents_of libqivma7 | grep -qx "/usr/lib/$multiarch/libqivma.so" && fail "libqivma7 holds the development link"
for package in libqivma7 libqivma-dev qivma qivma-gateway; do
    contents_of $package | grep -q "^/usr/lib/\($multiarch/\)\?libkelpra" &&
        fail "$package installs the logging stand-in among the system's libraries"
done

tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
for deb in "$packages"/*.deb; do dpkg-deb -x "$deb" "$tree"; done
grep -qx 'prefix=/usr' "$tree/usr/lib/$multiarch/pkgconfig/qivma.pc" ||
    fail "qivma.pc has no absolute prefix: $(grep prefix= "$tree/usr/lib/$multiarch/pkgconfig/qivma.pc")"
[ "$(stat -c %a "$tree/etc/qivma/mqtt-password")" = 600 ] || fail "the MQTT password file is readable by others"
dpkg-deb --ctrl-tarfile "$packages/qivma-gateway_${version}_$arch.deb" | tar -xO ./conffiles |
    grep -qx /etc/qivma/gateway.yaml || fail "the gateway's configuration is not a conffile"

# --- lintian ----------------------------------------------------------------------------
# The warnings that stay are the rows of the table under "lintian's warnings".
allowed=$(sed -n '/^### lintian.s warnings/,/^#/p' "$source_dir/docs/testing.md" |
    sed -n 's/^| `\([a-z0-9-]*\)` .*/\1/p')
report=$(lintian "$packages"/*.deb 2>&1 | grep -v 'running with root privileges' || true)
echo "lintian:"
echo "${report:-  (nothing)}"
grep -q '^E:' <<<"$report" && fail "lintian reports errors"
while read -r tag; do
    [ -z "$tag" ] && continue
    grep -qx "$tag" <<<"$allowed" || fail "lintian warns of $tag, which docs/testing.md does not name"
done < <(sed -n 's/^W: [^:]*: \([a-z0-9-]*\).*/\1/p' <<<"$report" | sort -u)

# --- hardening: every program and library ---------------------------------------------
# Debian 12's dpkg-buildflags adds no control-flow protection (-fcf-protection):
# that check is left out.
mapfile -t binaries < <(find "$tree" -type f -exec sh -c 'file -b "$1" | grep -q ^ELF' sh {} \; -print | sort)
[ ${#binaries[@]} -eq 5 ] || fail "expected five programs and libraries, found: ${binaries[*]}"
hardening-check --quiet --nocfprotection "${binaries[@]}" ||
    fail "hardening-check: a program or library lacks Debian's hardening"
for binary in "${binaries[@]}"; do
    file -b "$binary" | grep -q 'not stripped\|with debug_info' && fail "$binary keeps its debug information"
done

# --- the unit ---------------------------------------------------------------------------
# Verified where the package put it, with the program beside it, and the
# system's own units for the targets it names.
cp -rn /lib/systemd/system/. "$tree/usr/lib/systemd/system/"
systemd-analyze verify --root="$tree" --man=no qivma-gateway.service
systemd-analyze security --offline=yes --root="$tree" --threshold=30 qivma-gateway.service |
    grep 'Overall exposure' || fail "the unit is exposed more than 3.0 (systemd-analyze security)"
echo "packages in $packages, and at revision $revision_upgrade in $upgrade"
