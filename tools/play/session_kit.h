// What both kinds of play session need: failure messages, the folders they work in (the
// output folder for the pictures, and the working folder the library keeps its group files
// in), and the window when one is wanted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <varnel/varnel.h>

#include "options.h"
#include "window.h"

namespace play {

// From now on SIGINT and SIGTERM end the session in order instead of the process.
void CatchInterrupts();
// True once SIGINT or SIGTERM has come.
bool Interrupted();

// Says what went wrong on standard error, as "varnel-play: message".
void Fail(const std::string& message);

class WorkFolders {
public:
    WorkFolders() = default;
    WorkFolders(const WorkFolders&) = delete;
    WorkFolders& operator=(const WorkFolders&) = delete;
    // A working folder made here is removed again, when the library has left it empty.
    ~WorkFolders();

    // Creates the output folder and the working folder: the one the options give, or "work"
    // inside the output folder. False, after saying why, when either cannot be made or the
    // working folder's absolute path takes maxPath bytes or more.
    bool Prepare(const Options& o, size_t maxPath);
    // The working folder's absolute path.
    const std::string& Save() const { return m_save; }

private:
    std::string m_save;
    bool m_own = false;
};

// "YYYY/MM/DD hh:mm:ss.mmm - 1x forward", " - paused" added when paused; "connecting" for
// the time while nothing has been shown.
std::string StatusLine(int64_t frameTime, int speed, int orientation, bool paused);

// The window's overlay for the options' range: the line, the place of the frame time shown and
// the frame times held (-1 none). No timeline for a URL played as it is: its range is unknown.
Overlay OverlayOf(const Options& o, std::string line, int64_t shown, int64_t heldFrom,
                  int64_t heldTo);
// The frame time at a place on the options' range, 0 its begin to 1 its end.
int64_t FrameTimeAt(const Options& o, double place);

// Whether the options ask for a window: always, or by default when there is a display.
bool WindowWanted(const Options& o);

// The window the options ask for: none when they ask for none or, by default, when there is
// no display. False, after saying why, when a window was asked for and cannot be opened;
// without a window by default the session writes its pictures only.
bool OpenWindow(const Options& o, std::unique_ptr<Window>& window);

// The open record's recorder, channel and range fields from the options; every other field
// zero, for the caller to fill.
StreamSetting RangeRecord(const Options& o);

}  // namespace play
