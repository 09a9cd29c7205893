// What a file's video track must declare before its first picture, read from a key frame
// without decoding it.
#pragma once

#include <cstddef>
#include <cstdint>

struct AVCodecParameters;

namespace exporter {

// The codec id of a record's codec text ("h264", "hevc"; "h265" is taken too), or 0 (none)
// for a codec no export can carry.
int CodecOf(const char* codec, size_t size);

// Fills par (codec type and id already set) from an Annex B key frame: the picture size and
// format from its parameter sets, as the codec's parser reads them, and the parameter sets
// themselves as the track's extradata, which Matroska and MP4 keep in the track header. False
// when the access unit holds no parameter sets.
bool ReadVideoParameters(const uint8_t* data, int size, AVCodecParameters* par);

}  // namespace exporter
