// The files of one channel of an export: a new file at every change of codec.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "export/clip_file.h"

namespace exporter {

class ChannelClip {
public:
    // channel names the tracks; named adds it to the file names (an export of several);
    // begin is the frame time the range starts at.
    ChannelClip(std::string path, bool mp4, int channel, bool named, int64_t begin);

    // Creates the first file, so that a path nobody may write to fails before the request.
    bool Create();
    // A picture or a sound record of this channel; false on a write failure.
    bool Take(const frameheader1& rec, const uint8_t* payload);
    // Finishes the file being written; false on a write failure.
    bool Finish();
    // Renames every file with pictures to its name; the others are deleted.
    bool Publish();

    int64_t Pictures() const;
    int64_t SoundBlocks() const;
    int64_t Bytes() const;
    int Files() const;
    // Frame times of the first picture, the last one and the end of the last one (0: none).
    int64_t FirstFrameTime() const;
    int64_t LastFrameTime() const;
    int64_t EndFrameTime() const;

private:
    struct Early {
        frameheader1 rec;
        std::vector<uint8_t> payload;
    };
    ClipFile& Current() { return *files_.back(); }
    int64_t Sum(int64_t (ClipFile::*count)() const) const;
    // The first or the last file with pictures, or null.
    const ClipFile* WithPictures(bool last) const;
    bool NextFile();
    bool Write(const frameheader1& rec, const uint8_t* payload);

    std::string path_;
    bool mp4_;
    int channel_;
    bool named_;
    std::vector<std::unique_ptr<ClipFile>> files_;
    int codec_ = 0;  // codec id of the current file's pictures, 0 before the first
    int64_t begin_;
    // The records before the range, from the last key frame on, until the first picture of
    // the range tells whether they are needed to decode it.
    std::vector<Early> early_;
    bool inRange_ = false;
};

}  // namespace exporter
