#!/usr/bin/env bash
# Makes the Debian packages libvarnel0, libvarnel-dev and varnel-tools from a plain build (no
# sanitizers, no tests, no benchmarks) and checks them with lintian.
#
# usage: scripts/package.sh [--out DIR] [--build DIR | --from DIR]
#   --out DIR    where the .deb files go (default packages)
#   --build DIR  the build folder to configure and use (default build-package)
#   --from DIR   package a folder already built as it is, with no set-up, configure or build
#                (the install test packages its own build this way)
set -euo pipefail
root=$(realpath "$(dirname "$0")/..")

out=$root/packages
build=$root/build-package
configure=1
while [[ $# -gt 0 ]]; do
    case $1 in
        --out) out=$2; shift 2 ;;
        --build) build=$2; shift 2 ;;
        --from) build=$2 configure=0; shift 2 ;;
        *) echo "usage: scripts/package.sh [--out DIR] [--build DIR | --from DIR]" >&2; exit 2 ;;
    esac
done
out=$(realpath -m "$out") build=$(realpath -m "$build")
cd "$root"

if [[ $configure -eq 1 ]]; then
    scripts/setup.sh
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNEL_SANITIZE= \
        -DVARNEL_TESTS=OFF -DVARNEL_BENCH=OFF -DVARNEL_FUZZ=OFF >/dev/null
    cmake --build "$build"
fi
mkdir -p "$out"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$out" >/dev/null
# CPack's own working folder stays out of the way of the packages.
rm -rf "$out/_CPack_Packages"
ls "$out"/*.deb
# Warnings are reported; errors fail the packaging.
lintian --fail-on error "$out"/*.deb
