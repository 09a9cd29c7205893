#include "report.h"

#include <cmath>
#include <cstdio>

#include "recorder_time.h"

namespace play {
namespace {

std::string Format(const char* format, auto... args) {
    char text[512];
    std::snprintf(text, sizeof text, format, args...);
    return text;
}

std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            out += Format("\\u%04x", c);
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string JsonTime(int64_t t) {
    return t < 0 ? "null" : JsonString(FrameTimeText(t));
}

}  // namespace

std::string SpeedText(int exponent, int orientation) {
    double factor = exponent == 2 ? 4.0 : std::pow(2.0, exponent);
    return Format("%gx %s", factor, orientation == 1 ? "forward" : "reverse");
}

std::string ProgressLine(const Progress& p) {
    std::string line = FrameTimeText(p.frameTime);
    line += Format("  pictures %lld  %.1f/s", static_cast<long long>(p.pictures), p.rate);
    line += p.buffered < 0 ? std::string("  buffered -") : Format("  buffered %.1f s", p.buffered);
    line += "  " + SpeedText(p.speed, p.orientation);
    if (p.paused) line += "  paused";
    return line;
}

const char* FeedStateName(int state) {
    switch (state) {
        case 0:
            return "not opened";
        case 1:
            return "opened, no record yet";
        case 2:
            return "receiving";
        case 3:
            return "ended";
        case 101:
            return "end mark";
        default:
            return state < 0 ? "still playing" : "unknown";
    }
}

std::string SummaryText(const Summary& s) {
    std::string out = Format("varnel-play: %lld pictures in %.1f s (%s)\n",
                             static_cast<long long>(s.pictures), s.seconds, s.ending.c_str());
    if (s.fosPictures > 0)
        out += Format("  from FOS stream %lld\n", static_cast<long long>(s.fosPictures));
    out += "  first frame    " + FrameTimeText(s.firstFrameTime) + "\n";
    out += "  last frame     " + FrameTimeText(s.lastFrameTime) + "\n";
    if (s.width > 0) out += Format("  picture size   %dx%d\n", s.width, s.height);
    out += s.feedState < 0
               ? std::string("  feed at end    still playing (stopped by the host)\n")
               : Format("  feed at end    %d (%s)\n", s.feedState, FeedStateName(s.feedState));
    if (s.timing.samples > 0)
        out += Format("  timing error   median %.1f ms, p99 %.1f ms over %zu pictures",
                      s.timing.medianMs, s.timing.p99Ms, s.timing.samples);
    else
        out += "  timing error   -";
    out += s.timing.restarts > 0 ? Format(", %d stalls\n", s.timing.restarts) : "\n";
    if (!s.sheetPath.empty())
        out += Format("  contact sheet  %s (%d pictures, %dx%d)\n", s.sheetPath.c_str(),
                      s.sheetPictures, s.sheetWidth, s.sheetHeight);
    if (s.picturesWritten > 0)
        out += Format("  pictures saved %lld\n", static_cast<long long>(s.picturesWritten));
    if (s.picturesMissed > 0)
        out += Format("  not kept       %lld (the host fell behind)\n",
                      static_cast<long long>(s.picturesMissed));
    return out;
}

std::string SummaryJson(const Summary& s) {
    std::string out = "{\n";
    out += Format("  \"pictures\": %lld,\n", static_cast<long long>(s.pictures));
    out += Format("  \"fos_pictures\": %lld,\n", static_cast<long long>(s.fosPictures));
    out += "  \"first_frame_time\": " + JsonTime(s.firstFrameTime) + ",\n";
    out += "  \"last_frame_time\": " + JsonTime(s.lastFrameTime) + ",\n";
    out += Format("  \"first_frame_ticks\": %lld,\n", static_cast<long long>(s.firstFrameTime));
    out += Format("  \"last_frame_ticks\": %lld,\n", static_cast<long long>(s.lastFrameTime));
    out += Format("  \"width\": %d,\n  \"height\": %d,\n", s.width, s.height);
    out += s.feedState < 0 ? std::string("  \"feed_state\": null,\n")
                           : Format("  \"feed_state\": %d,\n", s.feedState);
    out += "  \"feed_state_name\": " + JsonString(FeedStateName(s.feedState)) + ",\n";
    out += "  \"ending\": " + JsonString(s.ending) + ",\n";
    out += Format("  \"seconds\": %.3f,\n", s.seconds);
    out += Format(
        "  \"timing\": {\"samples\": %zu, \"median_error_ms\": %.3f, \"p99_error_ms\": %.3f, "
        "\"stalls\": %d},\n",
        s.timing.samples, s.timing.medianMs, s.timing.p99Ms, s.timing.restarts);
    out +=
        "  \"contact_sheet\": " + (s.sheetPath.empty() ? "null" : JsonString(s.sheetPath)) + ",\n";
    out += Format("  \"sheet_pictures\": %d,\n  \"sheet_width\": %d,\n  \"sheet_height\": %d,\n",
                  s.sheetPictures, s.sheetWidth, s.sheetHeight);
    out += "  \"error\": " + (s.error.empty() ? "null" : JsonString(s.error)) + ",\n";
    out +=
        Format("  \"pictures_written\": %lld,\n  \"pictures_missed\": %lld\n",
               static_cast<long long>(s.picturesWritten), static_cast<long long>(s.picturesMissed));
    return out + "}\n";
}

}  // namespace play
