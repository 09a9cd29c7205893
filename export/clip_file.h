// One file of an export: a Matroska or MP4 file written through libavformat beside its target,
// renamed to the target once it is complete and deleted otherwise.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "foundation/ffmpeg_ptr.h"
#include "varnel/varnel.h"

namespace exporter {

class ClipFile {
public:
    ClipFile(std::string target, bool mp4, int channel);
    // Deletes the file unless it was published.
    ~ClipFile();
    ClipFile(const ClipFile&) = delete;
    ClipFile& operator=(const ClipFile&) = delete;

    // Creates the file beside the target, empty; false (with a trace) when it cannot be.
    bool Create();
    // An access unit of the file's codec. The first picture must be a key frame with its
    // parameter sets (pictures before one are dropped: they cannot be decoded). False on a
    // write failure.
    bool Picture(const frameheader1& rec, const uint8_t* payload);
    // A block of G.711 mu-law sound; left out of MP4 and before the first picture.
    bool Sound(const frameheader1& rec, const uint8_t* payload);
    // Writes what is held and the file's index; false on a write failure.
    bool Finish();
    // Renames the finished file to its target.
    bool Publish();

    int64_t Pictures() const { return pictures_; }
    int64_t SoundBlocks() const { return soundBlocks_; }
    int64_t FirstFrameTime() const { return origin_; }
    int64_t LastFrameTime() const { return lastPicture_; }
    // Frame time (100 ns) at which the last picture ends.
    int64_t EndFrameTime() const { return endTime_; }
    int64_t Bytes() const;
    const std::string& Target() const { return target_; }

private:
    struct Held {
        ffmpeg::PacketPtr packet;
        bool sound;
    };
    // Milliseconds of a frame time from the first picture, rounded to the nearest.
    int64_t MsOf(int64_t frameTime) const;
    bool Queue(const frameheader1& rec, const uint8_t* payload, bool sound);
    // Declares the tracks and writes the file header, then the packets held until then.
    bool Start();
    bool Write(ffmpeg::PacketPtr packet, bool sound);
    bool Failed(const char* what, int error);

    std::string target_;
    std::string part_;
    bool mp4_;
    int channel_;
    AVFormatContext* format_ = nullptr;  // owned; closed in the destructor
    AVStream* video_ = nullptr;
    AVStream* audio_ = nullptr;
    bool created_ = false;
    bool started_ = false;
    bool published_ = false;
    bool soundSeen_ = false;
    bool soundDropTraced_ = false;
    std::deque<Held> held_;  // packets written once the tracks are known
    int64_t heldSpan_ = 0;   // ms of pictures held
    int64_t origin_ = 0;     // frame time of the first picture; the file's time 0
    int64_t lastPicture_ = 0;
    int64_t endTime_ = 0;
    int64_t lastPictureMs_ = -1;
    int64_t lastSoundMs_ = -1;
    int64_t pictures_ = 0;
    int64_t soundBlocks_ = 0;
    int64_t bytes_ = 0;  // size once finished
};

}  // namespace exporter
