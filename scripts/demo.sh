#!/usr/bin/env bash
# The main job: builds the library and its programs and runs the playback demo.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build | grep -v '^\[' || true
python3 - <<'PY'
import ctypes
lib = ctypes.CDLL("build/libvarnel.so")
lib.varnel_version.restype = ctypes.c_char_p
print("varnel", lib.varnel_version().decode())
PY
