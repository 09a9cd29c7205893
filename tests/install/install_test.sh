#!/usr/bin/env bash
# usage: install_test.sh <build dir> <this folder>
set -euo pipefail
build=$1 here=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# A C++ host with find_package against an installed prefix; it runs as it is built.
cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
cmake -S "$here/cmake_host" -B "$tmp/cmake_host" -DCMAKE_PREFIX_PATH="$tmp/prefix" >/dev/null
cmake --build "$tmp/cmake_host" >/dev/null
# A C host with pkg-config alone against the unpacked Debian packages, which package.sh has
# checked with lintian. The .pc file is read far from the prefix it was made for, so this also
# checks that it is relocatable, as the prefix install needs.
"$here/../../scripts/package.sh" --from "$build" --out "$tmp/deb" >/dev/null
for deb in "$tmp"/deb/*.deb; do dpkg-deb -x "$deb" "$tmp/root"; done
lib=$(dirname "$(find "$tmp/root" -name libvarnel.so.0)")
export PKG_CONFIG_PATH=$lib/pkgconfig LD_LIBRARY_PATH=$lib
cc -std=c11 -Wall -Wextra -Werror "$here/host.c" -o "$tmp/host" $(pkg-config --cflags --libs varnel)
# The versioned soname must be what the host records.
ls "$lib"/libvarnel.so.*.*.* >/dev/null && readelf -d "$tmp/host" | grep -q 'NEEDED.*libvarnel.so.0'
"$tmp/host" | grep -q '^varnel [0-9]'
# The tools find the packaged library by themselves, and each has its man page.
"$tmp/root/usr/bin/varnel-play" --version | grep -q "^varnel-play $(pkg-config --modversion varnel)$"
ls "$tmp"/root/usr/share/man/man1/varnel-{play,recorder}.1.gz >/dev/null
