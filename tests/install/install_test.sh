#!/usr/bin/env bash
# usage: install_test.sh <build dir> <this folder>
set -euo pipefail
build=$1 here=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
lib=$(ls -d "$prefix"/lib*/ | head -1)
export PKG_CONFIG_PATH=$lib/pkgconfig
# The versioned soname must be what the host records.
ls "$lib"libvarnel.so.*.*.* >/dev/null
cc -std=c11 -Wall -Werror "$here/host.c" -o "$prefix/host" $(pkg-config --cflags --libs varnel)
readelf -d "$prefix/host" | grep -q 'NEEDED.*libvarnel.so.0'
LD_LIBRARY_PATH=$lib "$prefix/host" | grep -q '^varnel [0-9]'
echo "install ok"
