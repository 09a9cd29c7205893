#include "session_kit.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "recorder_time.h"
#include "report.h"

namespace play {

namespace fs = std::filesystem;

namespace {
volatile std::sig_atomic_t g_interrupted = 0;
extern "C" void OnInterrupt(int) {
    g_interrupted = 1;
}
}  // namespace

void CatchInterrupts() {
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
}

bool Interrupted() {
    return g_interrupted != 0;
}

void Fail(const std::string& message) {
    std::fprintf(stderr, "varnel-play: %s\n", message.c_str());
}

WorkFolders::~WorkFolders() {
    if (!m_own || m_save.empty()) return;
    std::error_code ec;
    fs::remove(m_save, ec);  // only when the library left it empty
}

bool WorkFolders::Prepare(const Options& o, size_t maxPath) {
    std::error_code ec;
    fs::create_directories(o.outDir, ec);
    if (ec || !fs::is_directory(o.outDir)) {
        Fail("cannot create the output folder " + o.outDir + ": " + ec.message());
        return false;
    }
    const bool own = o.saveFolder.empty();
    const fs::path save = own ? fs::path(o.outDir) / "work" : fs::path(o.saveFolder);
    fs::create_directories(save, ec);
    // The library takes a relative folder from its own location, so hand it an absolute one.
    const std::string absolute = fs::absolute(save, ec).lexically_normal().string();
    if (ec || !fs::is_directory(save)) {
        Fail("cannot create the working folder " + save.string() + ": " + ec.message());
        return false;
    }
    m_save = absolute;
    m_own = own;
    if (m_save.size() >= maxPath) {
        Fail("the working folder's path is too long: " + m_save);
        return false;
    }
    return true;
}

std::string StatusLine(int64_t frameTime, int speed, int orientation, bool paused) {
    std::string line = (frameTime > 0 ? FrameTimeText(frameTime) : std::string("connecting")) +
                       " - " + SpeedText(speed, orientation);
    if (paused) line += " - paused";
    return line;
}

Overlay OverlayOf(const Options& o, std::string line, int64_t shown, int64_t heldFrom,
                  int64_t heldTo) {
    Overlay overlay;
    overlay.line = std::move(line);
    const int64_t begin = FrameTimeOf(o.begin), end = FrameTimeOf(o.end);
    if (!o.url.empty() || end <= begin) return overlay;
    const auto place = [&](int64_t t) {
        return std::clamp(static_cast<double>(t - begin) / static_cast<double>(end - begin), 0.0,
                          1.0);
    };
    overlay.position = shown > 0 ? place(shown) : 0;
    if (heldFrom > 0 && heldTo > 0) {
        overlay.heldFrom = place(heldFrom);
        overlay.heldTo = place(heldTo);
    }
    return overlay;
}

int64_t FrameTimeAt(const Options& o, double place) {
    const int64_t begin = FrameTimeOf(o.begin), end = FrameTimeOf(o.end);
    return begin +
           static_cast<int64_t>(std::clamp(place, 0.0, 1.0) * static_cast<double>(end - begin));
}

bool WindowWanted(const Options& o) {
    return o.display == Display::Window ||
           (o.display == Display::Auto && Window::DisplayAvailable());
}

bool OpenWindow(const Options& o, std::unique_ptr<Window>& window) {
    window.reset();
    if (!WindowWanted(o)) return true;
    window = std::make_unique<Window>();
    std::string error;
    if (window->Open(error)) return true;
    window.reset();
    if (o.display == Display::Window) {
        Fail("cannot open a window: " + error);
        return false;
    }
    Fail("no window (" + error + "): writing the pictures only");
    return true;
}

StreamSetting RangeRecord(const Options& o) {
    StreamSetting s{};
    std::snprintf(s.IP, sizeof s.IP, "%s", o.ip.c_str());
    s.Port = o.port;
    s.Key = o.key;
    s.SubKey = o.subKey;
    s.FosID = o.fosId;
    s.Resolution = o.resolution;
    s.BeginTime = o.begin;
    s.EndTime = o.end;
    return s;
}

}  // namespace play
