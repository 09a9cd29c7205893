#!/usr/bin/env bash
# Builds and runs every test, each where it tells the most: a normal build of everything, which
# runs what a sanitized library cannot (the Python binding, the Debian packages, the window and
# the demo); one clang build under AddressSanitizer and UndefinedBehaviorSanitizer that runs
# every other test and each libFuzzer harness briefly over its seed corpus (scripts/fuzz.sh
# fuzzes for longer); then the tests whose threads meet, under ThreadSanitizer, in a build that
# makes only what they run. Prints how long each part took.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --test || exit 1

jobs=$(nproc)
source scripts/fuzz_config.sh
status=0
times=()
run() {  # run <build dir> <target> <ctest args...> -- <cmake args...>
    local dir=$1 target=$2; shift 2
    local ctest_args=() cmake_args=() start=$SECONDS built
    while [[ $# -gt 0 && $1 != -- ]]; do ctest_args+=("$1"); shift; done
    [[ $# -gt 0 ]] && shift
    cmake_args=("$@")
    echo "=== $dir"
    if ! { cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${cmake_args[@]}" \
               >/dev/null && ninja -C "$dir" -j"$jobs" $target | grep -v '^\['; }; then
        echo "build failed in $dir"
        status=1
        times+=("$(printf '%-11s build failed after %d s' "$dir" $((SECONDS - start)))")
        return
    fi
    built=$SECONDS
    ctest --test-dir "$dir" -j"$jobs" --output-on-failure --timeout 600 "${ctest_args[@]}" || status=1
    times+=("$(printf '%-11s build %4d s  tests %4d s' "$dir" $((built - start)) $((SECONDS - built)))")
}

# The plain build: the library, the programs and the packages with gcc and -Werror, for what a
# sanitized library cannot run. The GoogleTest cases are compiled (with clang and -Werror) and
# run in the sanitized builds only.
run build all -L "slow|plain" -- -DVARNEL_UNIT_TESTS=OFF
# The sanitized builds at -O1, as the sanitizers advise, with line tables for their reports:
# -O2 with full debug information compiled half as fast again and found nothing more.
sanitized=(-DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG"
           -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG")
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1
# The fuzzing build instruments everything with both sanitizers already: the tests are built
# in it too, so that the library is compiled once for both.
run build-asan all -LE "slow|plain" -- "${fuzz_config[@]}" -DVARNEL_TESTS=ON "${sanitized[@]}"
export TSAN_OPTIONS="halt_on_error=1 suppressions=$PWD/scripts/tsan.supp"
run build-tsan tests_threads -L threads -- -DVARNEL_SANITIZE=thread -DVARNEL_BENCH=OFF "${sanitized[@]}"

printf '%s\n' "${times[@]}" "total       $SECONDS s"
[[ $status -eq 0 ]] && echo "all test runs passed" || echo "some test runs FAILED"
exit $status
