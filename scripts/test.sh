#!/usr/bin/env bash
# Builds the three presets and runs every test that can run here.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

for preset in linux64 linux32 win32; do
    echo "=== ${preset}"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    ctest --preset "$preset"
done

# The Windows build under wine, driven from the 64-bit Linux build.
echo "=== wine"
ctest --preset wine

# The native suites again under AddressSanitizer and UndefinedBehaviorSanitizer,
# and each fuzz target for a few seconds from its seed corpus.
for preset in asan fuzz; do
    echo "=== ${preset}"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    ctest --preset "$preset"
done
echo "=== all tests passed"
