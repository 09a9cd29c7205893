#include "export_mode.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "recorder_time.h"
#include "session_kit.h"

namespace play {

namespace {

struct ExportProgress {
    bool quiet;
    int64_t begin;
    int64_t end;
    std::chrono::steady_clock::time_point shown{};
};

// The progress line, at most ten times a second; Ctrl-C cancels the export, which then
// leaves no file behind.
bool OnProgress(int64_t frameTime, int64_t bytes, void* user) {
    auto& p = *static_cast<ExportProgress*>(user);
    const auto now = std::chrono::steady_clock::now();
    if (!p.quiet && now - p.shown >= std::chrono::milliseconds(100)) {
        p.shown = now;
        const double done = p.end > p.begin ? 100.0 * static_cast<double>(frameTime - p.begin) /
                                                  static_cast<double>(p.end - p.begin)
                                            : 0.0;
        std::fprintf(stderr, "\rexport %s  %3.0f %%  %.1f MB ", FrameTimeText(frameTime).c_str(),
                     done, static_cast<double>(bytes) / 1e6);
        std::fflush(stderr);
    }
    return !Interrupted();
}

StreamSetting RecordOf(const Options& o) {
    StreamSetting s = RangeRecord(o);
    s.Orientation = 1;
    s.IsOnlyKeyFrame = o.keyFramesOnly ? 1 : 0;
    s.NoAudio = o.noAudio ? 1 : 0;
    return s;
}

const char* OutcomeText(int32_t outcome) {
    switch (outcome) {
        case VARNEL_EXPORT_CANCELLED:
            return "cancelled, no file written";
        case VARNEL_EXPORT_CANNOT_WRITE:
            return "cannot write the file (see --trace)";
        case VARNEL_EXPORT_FAILED:
            return "the recorder did not answer or broke off, no file written";
        case VARNEL_EXPORT_NOTHING:
            return "no pictures in the range, no file written";
        default:
            return "bad request";
    }
}

}  // namespace

int RunExport(const Options& o) {
    CatchInterrupts();
    const StreamSetting setting = RecordOf(o);
    ExportProgress progress{o.quiet, FrameTimeOf(o.begin), FrameTimeOf(o.end)};
    varnel_export_summary summary{};
    const auto start = std::chrono::steady_clock::now();
    const int32_t outcome =
        o.channels.empty()
            ? varnel_export(&setting, o.exportPath.c_str(), OnProgress, &progress, &summary)
            : varnel_export_channels(&setting, o.channels.data(),
                                     static_cast<int32_t>(o.channels.size()), o.exportPath.c_str(),
                                     OnProgress, &progress, &summary);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!o.quiet) std::fputc('\n', stderr);
    if (outcome != VARNEL_EXPORT_DONE) {
        Fail(OutcomeText(outcome));
        return outcome == VARNEL_EXPORT_FAILED    ? kExitUnreachable
               : outcome == VARNEL_EXPORT_NOTHING ? kExitNothing
                                                  : kExitFailure;
    }
    std::printf(
        "exported %lld pictures, %.3f s from %s, %lld bytes in %d file%s in %.3f s\n",
        static_cast<long long>(summary.pictures), static_cast<double>(summary.duration) / 1000.0,
        FrameTimeText(summary.firstFrameTime).c_str(), static_cast<long long>(summary.bytes),
        summary.files, summary.files == 1 ? "" : "s", seconds);
    return kExitOk;
}

}  // namespace play
