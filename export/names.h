// The names of an export's files, all made from the one path the host gave.
#pragma once

#include <string>

namespace exporter {

// MP4 when the name ends in ".mp4" in any case; Matroska for every other name.
bool WantsMp4(const std::string& path);

// The file of a channel's segment: the path itself for segment 1 of a one-channel export;
// "-chN" for a channel of several (channel >= 0) and "-S" for segment S > 1, both put before
// the extension ("clip.mkv", "clip-ch2.mkv", "clip-ch2-3.mkv").
std::string SegmentName(const std::string& path, int channel, int segment);

// Where a file is written until the export has ended: beside its target, so that the final
// rename stays on one file system and is atomic.
std::string PartName(const std::string& target);

}  // namespace exporter
