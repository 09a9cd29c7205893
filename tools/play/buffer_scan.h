// How much of the recording the library holds ahead of the picture on screen. The library
// reports it itself only for its on-file mode (FrameInfo's LastFrameTime); in stream mode it
// keeps one working file per group of pictures in the folder the host gave it, each a run of
// frame records laid out as in the public header, and the host reads their frame times there.
#pragma once

#include <cstdint>
#include <string>

namespace play {

struct BufferedRange {
    int64_t earliest = -1;  // frame times found in the working files; -1 none
    int64_t latest = -1;
    int files = 0;
};

BufferedRange ScanWorkingFiles(const std::string& folder);

// Seconds of recording held beyond the current frame time in the direction of play; -1 when
// nothing is known.
double SecondsAhead(const BufferedRange& range, int64_t current, int orientation);

}  // namespace play
