#!/usr/bin/env bash
# usage: install_test.sh <build dir> <this folder>
set -euo pipefail
build=$1 here=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
lib=$(dirname "$(find "$prefix" -name libvarnel.so.0)")/
export PKG_CONFIG_PATH=$lib/pkgconfig
# The versioned soname must be what the host records.
ls "$lib"libvarnel.so.*.*.* >/dev/null
cc -std=c11 -Wall -Werror "$here/host.c" -o "$prefix/host" $(pkg-config --cflags --libs varnel)
readelf -d "$prefix/host" | grep -q 'NEEDED.*libvarnel.so.0'
LD_LIBRARY_PATH=$lib "$prefix/host" | grep -q '^varnel [0-9]'
# The same host as C++ with find_package alone; it runs as it is built.
cmake -S "$here/cmake_host" -B "$prefix/cmake_host" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$prefix/cmake_host" >/dev/null
echo "install ok"
