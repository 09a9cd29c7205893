// The exported functions of the export.
#include <algorithm>
#include <vector>

#include "export/exporter.h"
#include "platform/trace.h"
#include "varnel/varnel.h"

namespace {

constexpr int32_t kMaxChannels = 64;

int32_t Export(const StreamSetting* setting, std::vector<int32_t> channels, const char* path,
               varnel_export_progress progress, void* user, varnel_export_summary* summary) {
    if (summary != nullptr) *summary = varnel_export_summary{};
    if (setting == nullptr || path == nullptr || path[0] == '\0') {
        platform::TraceF("export: no setting or no path\r\n");
        return VARNEL_EXPORT_BAD_ARGUMENT;
    }
    exporter::Exporter run(*setting, std::move(channels), path);
    const int32_t outcome = run.Run(progress, user);
    if (summary != nullptr) {
        run.Summarize(*summary);
        if (outcome != VARNEL_EXPORT_DONE) summary->files = 0;
    }
    return outcome;
}

}  // namespace

extern "C" VARNEL_API int32_t varnel_export(const StreamSetting* setting, const char* path,
                                            varnel_export_progress progress, void* user,
                                            varnel_export_summary* summary) {
    return Export(setting, {}, path, progress, user, summary);
}

extern "C" VARNEL_API int32_t varnel_export_channels(const StreamSetting* setting,
                                                     const int32_t* channels, int32_t count,
                                                     const char* path,
                                                     varnel_export_progress progress, void* user,
                                                     varnel_export_summary* summary) {
    if (channels == nullptr || count < 1 || count > kMaxChannels) {
        if (summary != nullptr) *summary = varnel_export_summary{};
        platform::TraceF("export: %d channels asked for, 1 to %d can be\r\n", count, kMaxChannels);
        return VARNEL_EXPORT_BAD_ARGUMENT;
    }
    std::vector<int32_t> list(channels, channels + count);
    std::vector<int32_t> sorted = list;
    std::sort(sorted.begin(), sorted.end());
    // Each channel names its own file: a channel twice would write one file twice, and a
    // negative number would read as a segment in the names.
    if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end() || sorted.front() < 0) {
        if (summary != nullptr) *summary = varnel_export_summary{};
        platform::TraceF("export: the channel list repeats a channel or has a negative one\r\n");
        return VARNEL_EXPORT_BAD_ARGUMENT;
    }
    return Export(setting, std::move(list), path, progress, user, summary);
}
