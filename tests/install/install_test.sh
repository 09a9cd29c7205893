#!/usr/bin/env bash
# usage: install_test.sh <build dir> <this folder> <varnel-recorder> <samples> <python>
# Also holds the README to what it shows: its C host is examples/count_pictures.c, built with
# its own pkg-config line and its CMake lines and run against varnel-recorder, and its Python
# example runs from the python3-varnel package as from `pip install ./python`.
set -euo pipefail
build=$1 here=$2 recorder=$3 samples=$4 python=$5
root=$(realpath "$here/../..")
tmp=$(mktemp -d)
recorder_pid=
trap '[[ -z $recorder_pid ]] || kill "$recorder_pid"; rm -rf "$tmp"' EXIT
readme() {  # the bodies of the README's code blocks of one language
    awk -v lang="$1" '$0 == "```" lang {on = 1; next} /^```/ {on = 0} on' "$root/README.md"
}
diff <(readme c) "$root/examples/count_pictures.c"
while read -r line; do
    grep -qxF "$line" "$here/cmake_host/CMakeLists.txt" || { echo "not built: $line"; exit 1; }
done < <(readme cmake)
"$recorder" --port 0 --catalogue "$samples" --log "$tmp/recorder.log" >"$tmp/recorder.out" &
recorder_pid=$!
for _ in {1..100}; do port=$(grep -o '[0-9]*$' "$tmp/recorder.out") && break; sleep 0.1; done
export SDL_AUDIODRIVER=dummy
readme_host() {  # builds the README's host with its cc line that holds $1, then runs it
    local cc
    cc=$(readme sh | grep '^cc examples/count_pictures.c ' | grep -m1 -F "$1")
    cc=${cc//\/opt\/varnel/$tmp/prefix}
    (cd "$root" && eval "${cc/-o count_pictures/-o $tmp/count_pictures} -std=c11 -Wall -Wextra -Werror")
    # The versioned soname must be what the host records.
    readelf -d "$tmp/count_pictures" | grep -q 'NEEDED.*libvarnel.so.0'
    "$tmp/count_pictures" "$port" | grep -qx '102 pictures, the last at 2024/01/01 00:00:05'
}

# A C++ host with find_package against an installed prefix; it runs as it is built. The
# README's host with pkg-config against the same prefix, as the README builds it.
cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
cmake -S "$here/cmake_host" -B "$tmp/cmake_host" -DCMAKE_PREFIX_PATH="$tmp/prefix" >/dev/null
cmake --build "$tmp/cmake_host" >/dev/null
LD_LIBRARY_PATH=$(dirname "$(find "$tmp/prefix" -name libvarnel.so.0)") readme_host /opt/varnel

# The README's host with pkg-config alone against the unpacked Debian packages, which
# package.sh has checked with lintian. The .pc file is read far from the prefix it was made
# for, so this also checks that it is relocatable, as the prefix install needs.
"$root/scripts/package.sh" --from "$build" --out "$tmp/deb" >/dev/null
for deb in "$tmp"/deb/*.deb; do dpkg-deb -x "$deb" "$tmp/root"; done
lib=$(dirname "$(find "$tmp/root" -name libvarnel.so.0)")
export PKG_CONFIG_PATH=$lib/pkgconfig LD_LIBRARY_PATH=$lib
ls "$lib"/libvarnel.so.*.*.* >/dev/null
readme_host '$(pkg-config'
# The tools find the packaged library by themselves, and each has its man page.
"$tmp/root/usr/bin/varnel-play" --version | grep -q "^varnel-play $(pkg-config --modversion varnel)$"
ls "$tmp"/root/usr/share/man/man1/varnel-{play,recorder}.1.gz >/dev/null

# The README's Python example from python3-varnel, which finds the library by its SONAME: ten
# seconds, a line every 25th picture.
readme python | sed "s/8554/$port/" >"$tmp/example.py"
PYTHONPATH=$tmp/root/usr/lib/python3/dist-packages "$python" "$tmp/example.py" >"$tmp/example.out"
head -1 "$tmp/example.out" | grep -qE '^2024-01-01 00:00:00 [0-9]+\.[0-9]+$'
[[ $(wc -l <"$tmp/example.out") -ge 10 ]]
# pip, with no index to download from: Debian's setuptools build it where it is (a copy).
cp -r "$root/python" "$tmp/python"
"$python" -m venv --system-site-packages "$tmp/venv"
"$tmp/venv/bin/pip" install -q --no-index "$tmp/python"
(cd "$tmp" && "$tmp/venv/bin/python" -c 'import varnel; print(varnel.__version__, varnel.library_version())') |
    grep -qx "$(pkg-config --modversion varnel) $(pkg-config --modversion varnel)"
