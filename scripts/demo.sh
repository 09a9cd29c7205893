#!/usr/bin/env bash
# The main job: builds the library and its programs, starts the substitute recorder on a free
# loopback port, plays ten seconds of the sample 1080p clip with sound, then a few seconds in
# reverse and at four times the speed, and leaves a contact sheet of what was seen.
#
# usage: scripts/demo.sh [--out DIR] [--build DIR --short]
#   --out DIR    where the contact sheet and the rest go (default demo-out)
#   --build DIR  use the programs already built in DIR (no set-up, no build)
#   --short      a shortened run (4 s forward, 2 s reverse, 2 s at 4x), without a window
set -euo pipefail
cd "$(dirname "$0")/.."

out=demo-out
build=
short=0
while [[ $# -gt 0 ]]; do
    case $1 in
        --out) out=$2; shift 2 ;;
        --build) build=$2; shift 2 ;;
        --short) short=1; shift ;;
        *) echo "usage: scripts/demo.sh [--out DIR] [--build DIR --short]" >&2; exit 2 ;;
    esac
done

if [[ -z $build ]]; then
    build=build
    scripts/setup.sh
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    ninja -C "$build" varnel-play varnel-recorder | grep -v '^\[' || true
fi
play=$build/varnel-play
recorder=$build/varnel-recorder
samples=$(scripts/make_samples.sh)

# The sample 1080p clip: its key in the catalogue and the recorder time it starts at.
key=1
begin="2024/01/01 00:00:00"

rm -rf "$out"
mkdir -p "$out"

recorder_pid=
stop_recorder() {
    if [[ -n $recorder_pid ]]; then
        kill "$recorder_pid" 2>/dev/null || true
        wait "$recorder_pid" 2>/dev/null || true
        recorder_pid=
    fi
}
trap stop_recorder EXIT

# Port 0: the recorder takes a free port and names it on its first line.
"$recorder" --port 0 --catalogue "$samples" --log "$out/recorder.log" >"$out/recorder.out" 2>&1 &
recorder_pid=$!
port=
for _ in $(seq 200); do
    port=$(head -n 1 "$out/recorder.out" | grep -o '[0-9]\+$' || true)
    [[ -n $port ]] && break
    kill -0 "$recorder_pid" 2>/dev/null || break
    sleep 0.05
done
if [[ -z $port ]]; then
    echo "demo: the recorder did not start:" >&2
    cat "$out/recorder.out" >&2
    exit 1
fi
echo "demo: varnel-recorder serves $samples on 127.0.0.1:$port"

# Sound goes to the audio device; a machine without one gets SDL's disk driver, which plays
# in real time into a file.
if [[ -z ${SDL_AUDIODRIVER:-} ]] && ! compgen -G "/dev/snd/pcm*" >/dev/null &&
    [[ ! -S ${XDG_RUNTIME_DIR:-/nonexistent}/pulse/native ]] &&
    [[ ! -S ${XDG_RUNTIME_DIR:-/nonexistent}/pipewire-0 ]]; then
    export SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE=$out/sound.raw
    echo "demo: no audio device here: the sound goes to $SDL_DISKAUDIOFILE"
fi

# Seconds after the first picture at which playback turns to reverse, then to 4x forward, and
# at which it stops.
if [[ $short -eq 1 ]]; then
    reverse_at=4 fast_at=6 stop_at=8 extra=(--headless)
else
    reverse_at=10 fast_at=13 stop_at=16 extra=()
fi
echo "demo: 1x forward, reverse from ${reverse_at} s, 4x forward from ${fast_at} s, stop at ${stop_at} s"
status=0
"$play" --port "$port" --key "$key" --begin "$begin" --length 60 "${extra[@]}" \
    --at "$reverse_at:reverse" --at "$fast_at:forward" --at "$fast_at:speed=4x" \
    --duration "$stop_at" --out "$out" --json "$out/summary.json" --trace "$out/trace.log" ||
    status=$?
stop_recorder

if [[ -f $out/sound.raw ]]; then
    # Each turn of direction opens the device again, which starts the file again.
    echo "demo: $(stat -c %s "$out/sound.raw") bytes of sound of the last part in $out/sound.raw"
fi
if [[ $status -ne 0 || ! -f $out/contact-sheet.png ]]; then
    echo "demo: playback failed (exit code $status); see $out/trace.log and $out/recorder.log" >&2
    exit 1
fi
echo "demo: contact sheet: $out/contact-sheet.png"
