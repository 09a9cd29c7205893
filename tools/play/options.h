// Command line of varnel-play: what to play, how, and what to write.
#pragma once

#include <string>
#include <vector>

#include <varnel/varnel.h>

namespace play {

// Exit codes, as documented in --help.
enum ExitCode : int {
    kExitOk = 0,
    kExitFailure = 1,      // a window or the output could not be made
    kExitUsage = 2,        // bad options
    kExitUnreachable = 3,  // nothing answers at the recorder's address
    kExitNothing = 4,      // the recorder answered but sent no picture
};

enum class Display { Auto, Window, Headless };

// A control change at a given number of seconds after the first picture.
struct TimedAction {
    enum Kind { Pause, Play, Reverse, Forward, Speed };
    double at = 0;
    Kind kind = Play;
    int speed = 0;  // exponent, for Speed
};

struct Options {
    // What to play: either the record's fields or a direct URL.
    std::string ip = "127.0.0.1";
    int port = 80;
    int key = 1;
    int subKey = 0;
    int fosId = 0;
    int resolution = 0;
    StreamSettingTime begin{};
    StreamSettingTime end{};
    std::string url;
    bool fos = false;  // a second stream from the FOS endpoint
    int fosStreamId = 0;
    std::vector<int> channels;  // several channels through the media element; empty: --key
    std::string exportPath;     // write the range to this file instead of playing it

    // How to play.
    int speed = 0;        // exponent: 2 to this power
    int orientation = 1;  // 1 forward, 0 rewind
    // Every picture in falling time when playing backwards; false: each group forward,
    // latest group first, as the recorder sends them.
    bool smoothReverse = true;
    bool keyFramesOnly = false;
    bool noAudio = false;
    bool onFile = false;
    std::vector<TimedAction> actions;
    double duration = 0;  // seconds of play, 0 until the recording ends
    double timeout = 20;  // seconds to wait for the first picture

    // What to show and write.
    Display display = Display::Auto;
    double hold = 0;  // seconds the window stays open after the end
    std::string outDir = "varnel-play-out";
    std::string saveFolder;  // working files of the library; default inside outDir
    int every = 0;           // write every Nth picture as PNG, 0 none
    int sheetColumns = 4;
    int sheetPictures = 16;
    int thumbWidth = 320;
    std::string jsonPath;  // "-" for standard output
    std::string tracePath;
    bool quiet = false;

    bool help = false;
    bool version = false;
};

struct ParseResult {
    Options options;
    std::string error;  // empty when the command line is good
};

ParseResult ParseOptions(const std::vector<std::string>& args);

// Speed text: an exponent ("-1", "2") or a power-of-two factor ("0.5x", "4x").
bool ParseSpeed(const std::string& text, int& exponent);

const char* HelpText();
// The keys of the window, one a line: --help lists them and `h` shows them in the window.
const char* KeysText();

}  // namespace play
