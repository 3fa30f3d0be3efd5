#!/usr/bin/env bash
# Installs the npm Modbus client that the gateway's tests drive, at a pinned
# version, into DIR (under the build folder). Without npm or the registry the
# tests that use it say so and are skipped; mbpoll's still run.
#   install_npm_client.sh DIR
set -uo pipefail
dir=$1
version=8.0.25
installed=$dir/node_modules/modbus-serial/package.json
if [ -f "$installed" ] && grep -q "\"version\": \"$version\"" "$installed"; then
    echo "modbus-serial $version is installed in $dir"
    exit 0
fi
if ! command -v npm >/dev/null; then
    echo "npm is not installed: the tests of the npm client are skipped"
    exit 0
fi
mkdir -p "$dir"
if npm install --prefix "$dir" --no-audit --no-fund --omit=optional --save-exact \
    "modbus-serial@$version" >"$dir/install.log" 2>&1; then
    echo "installed modbus-serial $version in $dir"
else
    echo "npm could not install modbus-serial $version (see $dir/install.log): the tests of the npm client are skipped"
fi
exit 0
