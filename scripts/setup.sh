#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need.
# Only missing packages are installed, so a second run does nothing.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config libgtest-dev
  libavcodec-dev libavformat-dev libavutil-dev libswscale-dev libswresample-dev
  libsdl2-dev ffmpeg python3 clang-format
  # scripts/package.sh: the man pages of the programs are made from their --help text, and
  # lintian checks the Debian packages.
  help2man lintian
)
if [[ "${1:-}" == "--test" ]]; then
  # Only the tests need these: an X server for the window test, xwininfo and xdotool to read
  # its title and press its keys, and independent HTTP servers for the HTTP client's
  # interoperability tests; clang with its sanitizer and libFuzzer runtimes (only recommended
  # by clang, so named) for the fuzzing harnesses.
  packages+=(xvfb x11-apps imagemagick x11-utils xdotool apache2 nginx-light clang libclang-rt-14-dev)
  # The Python binding's tests and examples: numpy and pytest, matplotlib for the motion
  # example's plot, and setuptools with venv for `pip install ./python` without a network.
  packages+=(python3-numpy python3-pytest python3-matplotlib python3-setuptools python3-venv)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "installing: ${missing[*]}"
sudo=()
[[ $(id -u) -ne 0 ]] && sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
