#!/usr/bin/env bash
# Builds every preset and runs every test that can run here, lane by lane.
# A lane that fails does not stop the others; the last lines list each lane
# with its count, or why it was skipped, and the exit status is 1 if any
# lane failed.
set -uo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh || exit 1

logs=build/test-logs
mkdir -p "$logs"
summary=()
failed=0
started=$SECONDS

# How this machine runs 32-bit programs: natively, or through qemu-user
# (setup.sh registers it where the kernel cannot run them).
if grep -qx enabled /proc/sys/fs/binfmt_misc/qemu-i386 2>/dev/null; then
    how_32bit="under qemu-user"
else
    how_32bit="native"
fi

note() { summary+=("$(printf '%-8s %s' "$1" "$2")"); }

# The counts of a ctest log: "N passed, M skipped" and the skip reasons that
# the skipped tests printed ("skipped: ..." lines).
counts_of() {
    local log=$1 total failed_count skipped
    total=$(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -1)
    failed_count=$(sed -n 's/.* \([0-9]*\) tests failed out of.*/\1/p' "$log" | tail -1)
    skipped=$(grep -c '(Skipped)$' "$log")
    echo "$((total - failed_count - skipped)) passed, ${failed_count} failed, ${skipped} skipped"
}

skip_reasons_of() {
    grep -o 'skipped: .*' "$1" | sort -u | sed 's/^skipped: //' | paste -sd ';' -
}

# run_lane NAME LABEL BUILD_PRESET|- TEST_PRESET [ctest arguments]
run_lane() {
    local name=$1 label=$2 build=$3 tests=$4
    shift 4
    local log="$logs/$name.log" begin=$SECONDS
    echo "=== ${name}${label:+ ($label)}"
    if [ "$build" != "-" ]; then
        if ! { cmake --preset "$build" >/dev/null && cmake --build --preset "$build"; }; then
            note "$name" "FAILED to build"
            failed=1
            return
        fi
    fi
    ctest --preset "$tests" "$@" 2>&1 | tee "$log"
    local rc=${PIPESTATUS[0]}
    local result
    result="$(counts_of "$log")${label:+, $label} ($((SECONDS - begin)) s)"
    local reasons
    reasons=$(skip_reasons_of "$log")
    [ -n "$reasons" ] && result="$result; skipped: $reasons"
    if [ "$rc" -ne 0 ]; then
        note "$name" "FAILED: $result"
        failed=1
    else
        note "$name" "$result"
    fi
}

run_lane linux64 "" linux64 linux64
run_lane linux32 "$how_32bit" linux32 linux32
run_lane win32 "build, exports, package" win32 win32
run_lane win64 "build, exports, package" win64 win64
# The Windows builds under wine, driven from the 64-bit Linux build.
run_lane wine64 "" - wine64 --verbose
run_lane wine32 "" - wine32 --verbose
# The native suites again under AddressSanitizer and UndefinedBehaviorSanitizer,
# and each fuzz target for a few seconds from its seed corpus.
run_lane asan "" asan asan
# Channels and the gateway on several threads at once, under ThreadSanitizer:
# only the suites that run threads are built.
run_lane tsan "" tsan tsan
run_lane fuzz "" fuzz fuzz

echo
echo "=== lanes ($(((SECONDS - started) / 60)) min $(((SECONDS - started) % 60)) s; logs in $logs)"
printf '%s\n' "${summary[@]}"
if [ "$failed" -ne 0 ]; then
    echo "=== some lanes FAILED"
    exit 1
fi
echo "=== all tests passed"
