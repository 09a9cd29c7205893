#!/usr/bin/env bash
# scripts/fuzz.sh [SECONDS [HARNESS...]]
# Runs each libFuzzer harness (or only those named) for SECONDS (default 600), one after
# another, from its seed corpus. What a run learns goes to build-fuzz/fuzz-out/<harness>/corpus,
# crashes and other findings to build-fuzz/fuzz-out/<harness>/findings, libFuzzer's output to
# build-fuzz/fuzz-out/<harness>/log; at the end it prints the executions and findings of each
# harness. Exit status 1 when anything was found.
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
scripts/setup.sh --test || exit 1
source scripts/fuzz_config.sh
[[ $# -gt 1 ]] && fuzz_harnesses=("${@:2}")

cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${fuzz_config[@]}" >/dev/null &&
    ninja -C build-fuzz -j"$(nproc)" | grep -v '^\[' || { echo "build failed in build-fuzz"; exit 1; }

status=0
report=()
for name in "${fuzz_harnesses[@]}"; do
    out=build-fuzz/fuzz-out/$name
    mkdir -p "$out/corpus" "$out/findings"
    touch "$out/started"  # findings of earlier runs stay, but are not counted again
    echo "=== $name: ${seconds} s"
    build-fuzz/tests/fuzz/fuzz_"$name" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$out/findings/" "$out/corpus" "tests/fuzz/corpus/$name" 2>"$out/log"
    rc=$?
    runs=$(grep -o 'number_of_executed_units: [0-9]*' "$out/log" | tail -1 | grep -o '[0-9]*$')
    found=$(find "$out/findings" -type f -newer "$out/started" | wc -l)
    [[ $rc -ne 0 || $found -ne 0 ]] && status=1
    report+=("$(printf '%-10s %12s executions %4s findings  exit %d' "$name" "${runs:-?}" "$found" "$rc")")
done
printf '%s\n' "${report[@]}"
exit $status
