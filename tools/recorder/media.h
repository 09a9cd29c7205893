// A recording held in memory the way the recorder sends it: video as Annex B access units in
// decoding order, grouped from key frame to key frame, and sound as G.711 µ-law blocks, each
// with its recorder time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace recorder {

struct MediaFrame {
    int kind = 1;  // 1 video, 2 audio
    bool key = false;
    std::string codec;  // "h264" or "hevc" for video
    int64_t time = 0;   // recorder time
    int durationMs = 0;
    // Shared: a file listed many times in a recording (or in several) is read once.
    std::shared_ptr<const std::vector<uint8_t>> data;
};

struct Recording {
    std::vector<MediaFrame> video;  // rising time, first one a key frame
    std::vector<MediaFrame> audio;  // rising time
    std::vector<size_t> groups;     // index in video of each group's key frame
    int64_t start = 0, end = 0;     // time of the first frame, and just after the last

    size_t GroupEnd(size_t g) const { return g + 1 < groups.size() ? groups[g + 1] : video.size(); }
    int64_t GroupTime(size_t g) const { return video[groups[g]].time; }
};

constexpr int kAudioBlockSamples = 320;  // 40 ms at 8000 Hz

// A list item "hole:SECONDS" in place of a file: that long a stretch with nothing recorded, as
// when a camera was off.
constexpr char kHolePrefix[] = "hole:";

// Reads the files one after another, the first starting at the given recorder time and each
// following one where the one before (or a hole) ended; each file is read once for the process.
// Throws std::runtime_error with the reason.
std::shared_ptr<const Recording> LoadRecording(const std::vector<std::string>& files,
                                               int64_t start);

}  // namespace recorder
