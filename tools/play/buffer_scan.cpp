#include "buffer_scan.h"

#include <filesystem>
#include <fstream>

#include <varnel/varnel.h>

namespace play {
namespace {

// A group of pictures is a few seconds; a file with more records than this is not one.
constexpr int kMaxRecords = 4096;

void ScanFile(const std::filesystem::path& path, BufferedRange& range) {
    std::ifstream file(path, std::ios::binary);
    frameheader1 header;
    bool any = false;
    for (int i = 0; i < kMaxRecords; ++i) {
        if (!file.read(reinterpret_cast<char*>(&header), VARNEL_FRAME_HEADER_SIZE)) break;
        if (header.length < 0 || header.frameTime <= 0) break;
        if (header.kind == VARNEL_KIND_VIDEO) {
            if (range.earliest < 0 || header.frameTime < range.earliest)
                range.earliest = header.frameTime;
            if (header.frameTime > range.latest) range.latest = header.frameTime;
            any = true;
        }
        // A record still being written ends the file here.
        if (!file.seekg(header.length, std::ios::cur)) break;
    }
    if (any) ++range.files;
}

}  // namespace

BufferedRange ScanWorkingFiles(const std::string& folder) {
    BufferedRange range;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator(folder, ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        // Files come and go while the library plays: whatever cannot be read is skipped.
        if (it->is_regular_file(ec)) ScanFile(it->path(), range);
    }
    return range;
}

double SecondsAhead(const BufferedRange& range, int64_t current, int orientation) {
    if (range.files == 0 || current <= 0) return -1;
    int64_t ahead = orientation == 1 ? range.latest - current : current - range.earliest;
    return ahead > 0 ? static_cast<double>(ahead) / 1e7 : 0.0;
}

}  // namespace play
