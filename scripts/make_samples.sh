#!/usr/bin/env bash
# Makes the sample catalogue of the substitute recorder with the ffmpeg program, once: when
# the folder already holds a complete catalogue it does nothing. Prints the folder (and only
# that) on standard output; progress goes to standard error.
#
# usage: scripts/make_samples.sh [--out DIR] [--force]
#
#   channel 1        1920x1080 H.264, 25 fps, 1 s groups, with a 440 Hz tone (MP4)
#   channel 1 fos 1  1280x720 H.264 beside it, another picture (MP4)
#   channel 2        1280x720 H.265, 2 s groups, with sound (MKV)
#   channel 3        640x360 H.264, 1 s groups (MPEG-TS)
#   channel 4        640x360 H.264, 2 s groups (raw Annex B)
#   channel 5        320x240: 10 s H.264, then 10 s H.265 (the codec changes mid-recording)
#   channels 6, 7    320x240 H.264 with holes: 10 s, 40 s (channel 7: 36 s) of nothing, 10 s
#   channels 8, 9    channels 3 and 4 six times over: two minutes for speed and direction changes
#   channel 10       1920x1080 H.264, 2 s groups: reverse and frame steps at their heaviest
#   channels 11-42   1280x720 H.264, all the same recording: 32 cameras for the element
#   channels 50, 51  1280x720 H.264, 12 minutes; and 20 s, a 10-minute hole, 20 s
#   channel 60       320x240 H.264, 1 s groups: a still scene in which a box moves from 4 s to
#                    8 s and from 13 s to 16 s, and nothing else ever changes (motion search)
# All start at 2024/01/01 00:00:00 and last 20 s (6 and 7: 60 and 56 s, 8 and 9: 120 s);
# channels 1-4 are the set for "_All".
set -euo pipefail
cd "$(dirname "$0")/.."
out=build/samples
force=0
while [[ $# -gt 0 ]]; do
    case $1 in
        --out) out=$2; shift 2 ;;
        --force) force=1; shift ;;
        *) echo "usage: scripts/make_samples.sh [--out DIR] [--force]" >&2; exit 2 ;;
    esac
done
mkdir -p "$out"
out=$(cd "$out" && pwd)
stamp=$out/.complete
version=8  # bump when the catalogue changes, so old folders are made again
if [[ $force -eq 0 && -f $stamp && $(cat "$stamp") == "$version" ]]; then
    echo "$out"
    exit 0
fi
command -v ffmpeg >/dev/null || { echo "make_samples: the ffmpeg program is missing" >&2; exit 1; }
rm -f "$stamp"

step=0
make() {  # make NAME ARGS...: one clip, with a progress line
    local name=$1; shift
    step=$((step + 1))
    echo "make_samples: [$step/9] $name" >&2
    ffmpeg -v error -y "$@" "$out/$name"
}
x264=(-c:v libx264 -preset veryfast -bf 0 -pix_fmt yuv420p)
x265=(-c:v libx265 -preset ultrafast -pix_fmt yuv420p -x265-params bframes=0:log-level=none)
tone=(-f lavfi -i "sine=frequency=440:sample_rate=48000")
t=20

make ch1-1080p-h264.mp4 -f lavfi -i "testsrc2=size=1920x1080:rate=25" "${tone[@]}" -t $t \
    "${x264[@]}" -g 25 -keyint_min 25 -sc_threshold 0 -c:a aac -b:a 64k -shortest
make ch1-fos1-720p-h264.mp4 -f lavfi -i "testsrc=size=1280x720:rate=25" -t $t \
    "${x264[@]}" -g 25 -keyint_min 25 -sc_threshold 0
make ch2-720p-hevc.mkv -f lavfi -i "testsrc2=size=1280x720:rate=25" "${tone[@]}" -t $t \
    "${x265[@]}" -g 50 -keyint_min 50 -sc_threshold 0 -c:a aac -b:a 64k -shortest
make ch3-360p-h264.ts -f lavfi -i "smptebars=size=640x360:rate=25" -t $t \
    -vf "drawbox=x='mod(t*100,600)':y=150:w=40:h=40:color=white:t=fill" \
    "${x264[@]}" -g 25 -keyint_min 25 -sc_threshold 0
make ch4-360p-h264.h264 -f lavfi -i "testsrc=size=640x360:rate=25" -t $t \
    "${x264[@]}" -g 50 -keyint_min 50 -sc_threshold 0 -f h264
make ch10-1080p-h264-2s.mp4 -f lavfi -i "testsrc2=size=1920x1080:rate=25" -t $t \
    "${x264[@]}" -g 50 -keyint_min 50 -sc_threshold 0
make ch5a-240p-h264.mp4 -f lavfi -i "testsrc2=size=320x240:rate=25" -t 10 \
    "${x264[@]}" -g 25 -keyint_min 25 -sc_threshold 0
make ch5b-240p-hevc.mkv -f lavfi -i "testsrc=size=320x240:rate=25" -t 10 \
    "${x265[@]}" -g 25 -keyint_min 25 -sc_threshold 0
# overlay, not drawbox: drawbox takes its position once, overlay at every picture.
make ch60-motion-240p-h264.mp4 -f lavfi -i "color=c=0x305070:size=320x240:rate=25" \
    -f lavfi -i "color=c=white:size=40x40:rate=25" -t $t -filter_complex \
    "[0][1]overlay=y=150:x='if(lt(t,4),20,if(lt(t,8),20+(t-4)*60,if(lt(t,13),260,if(lt(t,16),260-(t-13)*60,80))))'" \
    "${x264[@]}" -g 25 -keyint_min 25 -sc_threshold 0

cat >"$out/catalogue.txt" <<'CAT'
# channel=N [fos=F] start=YYYY/MM/DD-hh:mm:ss files=FILE[,FILE...]
channel=1 start=2024/01/01-00:00:00 files=ch1-1080p-h264.mp4
channel=1 fos=1 start=2024/01/01-00:00:00 files=ch1-fos1-720p-h264.mp4
channel=2 start=2024/01/01-00:00:00 files=ch2-720p-hevc.mkv
channel=3 start=2024/01/01-00:00:00 files=ch3-360p-h264.ts
channel=4 start=2024/01/01-00:00:00 files=ch4-360p-h264.h264
channel=5 start=2024/01/01-00:00:00 files=ch5a-240p-h264.mp4,ch5b-240p-hevc.mkv
channel=6 start=2024/01/01-00:00:00 files=ch5a-240p-h264.mp4,hole:40,ch5a-240p-h264.mp4
channel=7 start=2024/01/01-00:00:00 files=ch5a-240p-h264.mp4,hole:36,ch5a-240p-h264.mp4
channel=8 start=2024/01/01-00:00:00 files=ch3-360p-h264.ts,ch3-360p-h264.ts,ch3-360p-h264.ts,ch3-360p-h264.ts,ch3-360p-h264.ts,ch3-360p-h264.ts
channel=10 start=2024/01/01-00:00:00 files=ch10-1080p-h264-2s.mp4
channel=60 start=2024/01/01-00:00:00 files=ch60-motion-240p-h264.mp4
channel=9 start=2024/01/01-00:00:00 files=ch4-360p-h264.h264,ch4-360p-h264.h264,ch4-360p-h264.h264,ch4-360p-h264.h264,ch4-360p-h264.h264,ch4-360p-h264.h264
CAT
for channel in $(seq 11 42); do
    echo "channel=$channel start=2024/01/01-00:00:00 files=ch1-fos1-720p-h264.mp4" >>"$out/catalogue.txt"
done
# A camera recording for 12 minutes beside one with a 10-minute hole.
long=$(printf 'ch1-fos1-720p-h264.mp4,%.0s' $(seq 36))
echo "channel=50 start=2024/01/01-00:00:00 files=${long%,}" >>"$out/catalogue.txt"
echo "channel=51 start=2024/01/01-00:00:00 files=ch1-fos1-720p-h264.mp4,hole:600,ch1-fos1-720p-h264.mp4" \
    >>"$out/catalogue.txt"
echo "$version" >"$stamp"
echo "$out"
