// What varnel-play tells the person running it: the progress line and the summary.
#pragma once

#include <cstdint>
#include <string>

#include "timing.h"

namespace play {

struct Progress {
    int64_t frameTime = -1;  // latest picture's recorder time
    int64_t pictures = 0;
    double rate = 0;       // pictures per second
    double buffered = -1;  // seconds of recording ahead of the picture, -1 unknown
    int speed = 0;         // exponent
    int orientation = 1;
    bool paused = false;
};

// One line without its end: "2024/01/01 00:00:03.040  pictures 76  25.0/s  buffered 4.0 s ...".
std::string ProgressLine(const Progress& p);
// "1x forward", "4x reverse", "0.5x forward".
std::string SpeedText(int exponent, int orientation);

struct Summary {
    int64_t pictures = 0;
    int64_t fosPictures = 0;
    int64_t firstFrameTime = -1;
    int64_t lastFrameTime = -1;
    int width = 0, height = 0;  // of the last picture
    int feedState = -1;         // from the end callback; -1 when playback was stopped first
    std::string ending;         // "end of recording", "duration reached", "quit", ...
    double seconds = 0;         // from open to the end
    Schedule::Result timing;
    std::string sheetPath;  // empty when none was written
    int sheetPictures = 0;
    int sheetWidth = 0, sheetHeight = 0;
    int64_t picturesWritten = 0;  // every-Nth PNGs
    int64_t picturesMissed = 0;   // wanted for a PNG or the sheet but not kept in time
    std::string error;            // why the run failed; empty when it did not
};

const char* FeedStateName(int state);
std::string SummaryText(const Summary& s);
std::string SummaryJson(const Summary& s);

}  // namespace play
