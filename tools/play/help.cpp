#include "options.h"

#include <string>

namespace play {

const char* KeysText() {
    return R"(  space         pause, play
  + -           faster, slower
  r f           reverse, forward
  left right    one frame back, forward (with --channels)
  home end      to the start, to the end of the range
  click, drag   the timeline under the picture: play from there
  h             these keys on the screen
  q             quit)";
}

const char* HelpText() {
    static const std::string text = std::string(R"(Usage: varnel-play [OPTIONS]

Plays a recording from a networked video recorder through libvarnel and shows or keeps
what was seen: a window (when there is a display, or with --window), and always a contact
sheet of thumbnails with their frame times in the output folder.

What to play (the fields of the open-parameters record):
  --ip ADDR            recorder address (default 127.0.0.1)
  --port N             recorder HTTP port (default 80)
  --key N              recording key (default 1)
  --subkey N           sub-key (default 0)
  --fos-id N           FOS id of the main stream (default 0)
  --resolution N       resolution value passed to the recorder (default 0)
  --begin TIME         start, "YYYY/MM/DD hh:mm:ss" (default 2024/01/01 00:00:00)
  --end TIME           end of the range (default: begin + --length)
  --length SECONDS     length of the range when --end is not given (default 3600)
  --url URL            play this URL as it is instead of building one
  --fos N              add the second (FOS) stream, with FOS id N
  --channels LIST      play these channels in step through the media element, e.g. 1,2,3,4:
                       a grid in the window, one contact-sheet row a channel; keys also
                       right and left arrow for one frame forward and back
  --export FILE        write the range to FILE instead of playing it, without decoding:
                       Matroska, or MP4 for a name ending in .mp4 (no sound); with
                       --channels one file a channel, FILE-chN.mkv; Ctrl-C cancels

How to play:
  --speed S            speed exponent -3..3 (2 to this power) or a factor: 0.5x, 2x, 4x
  --reverse [MODE]     play backwards from the end of the range. MODE, for every backward
                       play of the run: smooth (the default) shows every picture in falling
                       time; groups shows each group forward, latest group first
  --key-frames         ask the recorder for key frames only
  --no-audio           ask the recorder to leave out the sound
  --on-file            keep the whole feed in one indexed working file
  --at SECONDS:ACTION  at SECONDS after the first picture: pause, play, reverse, forward
                       or speed=S (repeatable), e.g. --at 10:reverse --at 13:speed=4x
  --duration SECONDS   stop after this long (default: when the recording ends)
  --timeout SECONDS    give up when no picture came this long after the start (default 20)

What to show and write:
  --window             show the pictures in a window, with the time, speed and direction
                       over the picture and the range's timeline under it (keys below)
  --headless           no window even when there is a display
  --hold SECONDS       keep the window open this long after the end (q closes it)
  --out DIR            output folder (default varnel-play-out): contact-sheet.png, last.png
  --every N            also write every Nth picture as picture-NNNNNN.png
  --sheet-columns N    thumbnails per row of the contact sheet (default 4)
  --sheet-pictures N   thumbnails on the contact sheet (default 16), spread over the run
  --thumb-width PX     thumbnail width (default 320)
  --save-folder DIR    the library's working files (default DIR/work, removed at the end)
  --json FILE          write the summary as JSON to FILE (- for standard output)
  --trace FILE         write the library's trace lines to FILE
  --quiet              no progress line
  --help               this text
  --version            the version of libvarnel

Keys in the window:
)") + KeysText() + R"(

While playing, a progress line shows the position as recorder time, the pictures shown,
pictures per second and the seconds buffered ahead; the summary at the end gives the
pictures delivered, the first and last frame time, the feed state at the end and the
presentation timing (median and 99th percentile error against the frame times).

Exit codes:
  0  played
  1  the window or the output folder could not be made
  2  bad options ("varnel-play: ..." names the option)
  3  the recorder is unreachable ("varnel-play: cannot reach the recorder at ADDR:PORT")
  4  the recorder sent no picture ("varnel-play: no pictures in the range ...")
)";
    return text.c_str();
}

}  // namespace play
