#!/usr/bin/env bash
# Builds and runs every test: a normal build, then the same tests under AddressSanitizer and
# UndefinedBehaviorSanitizer, then the tests whose threads meet under ThreadSanitizer, then each
# libFuzzer harness for a short fixed time from its seed corpus (scripts/fuzz.sh runs them longer).
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --test || exit 1

jobs=$(nproc)
source scripts/fuzz_config.sh
status=0
run() {  # run <build dir> <ctest args...> -- <cmake args...>
    local dir=$1; shift
    local ctest_args=() cmake_args=()
    while [[ $# -gt 0 && $1 != -- ]]; do ctest_args+=("$1"); shift; done
    [[ $# -gt 0 ]] && shift
    cmake_args=("$@")
    echo "=== $dir"
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${cmake_args[@]}" >/dev/null &&
        ninja -C "$dir" -j"$jobs" | grep -v '^\[' ||
        { echo "build failed in $dir"; status=1; return; }
    ctest --test-dir "$dir" -j"$jobs" --output-on-failure --timeout 600 "${ctest_args[@]}" || status=1
}

run build
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1
run build-asan -LE slow -- -DVARNEL_SANITIZE=address,undefined -DVARNEL_BENCH=OFF
export TSAN_OPTIONS="halt_on_error=1 suppressions=$PWD/scripts/tsan.supp"
run build-tsan -L threads -- -DVARNEL_SANITIZE=thread -DVARNEL_BENCH=OFF
run build-fuzz -L fuzz -- "${fuzz_config[@]}"

[[ $status -eq 0 ]] && echo "all test runs passed" || echo "some test runs FAILED"
exit $status
