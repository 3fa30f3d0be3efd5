#!/usr/bin/env bash
# Instructions per transaction in the driver: callgrind counts only what runs
# inside QivMain, over a run of one-word reads without pacing.
set -euo pipefail
bench=${1:-build/linux64/bench/qivma_bench}
reads=${2:-2000}
out=$(mktemp)
valgrind --tool=callgrind --callgrind-out-file="$out" --toggle-collect=QivMain \
    "$bench" --unpaced "$reads" 2>/dev/null
total=$(callgrind_annotate "$out" 2>/dev/null | awk '/PROGRAM TOTALS/ {gsub(",", "", $1); print $1}')
rm -f "$out"
echo "$reads one-word reads: $total instructions in the driver, $((total / reads)) per transaction"
