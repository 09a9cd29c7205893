#include "export/channel_clip.h"

#include <algorithm>

#include "export/names.h"
#include "export/video_parameters.h"
#include "platform/trace.h"

namespace exporter {

ChannelClip::ChannelClip(std::string path, bool mp4, int channel, bool named, int64_t begin)
    : path_(std::move(path)), mp4_(mp4), channel_(channel), named_(named), begin_(begin) {}

bool ChannelClip::NextFile() {
    const int segment = static_cast<int>(files_.size()) + 1;
    files_.push_back(std::make_unique<ClipFile>(SegmentName(path_, named_ ? channel_ : -1, segment),
                                                mp4_, channel_));
    return Current().Create();
}

bool ChannelClip::Create() {
    return NextFile();
}

bool ChannelClip::Take(const frameheader1& rec, const uint8_t* payload) {
    if (files_.empty()) return false;
    if (inRange_) return Write(rec, payload);
    const bool picture = rec.kind == VARNEL_KIND_VIDEO;
    if (!picture || rec.frameTime < begin_) {
        // The recorder starts at the key frame at or before the range. Most often its group
        // runs into the range and is needed to decode the first pictures of it; before a
        // stretch with nothing recorded it may end long before, and is no part of the range.
        if (picture && rec.keyFrame == 1) early_.clear();
        early_.push_back({rec, std::vector<uint8_t>(payload, payload + rec.length)});
        return true;
    }
    inRange_ = true;
    std::vector<Early> early = std::move(early_);
    for (const Early& e : early) {
        // A key frame at the start of the range makes the group before it needless; the
        // sound of the range is kept either way.
        if (rec.keyFrame == 1 && (e.rec.kind == VARNEL_KIND_VIDEO || e.rec.frameTime < begin_))
            continue;
        if (!Write(e.rec, e.payload.data())) return false;
    }
    return Write(rec, payload);
}

bool ChannelClip::Write(const frameheader1& rec, const uint8_t* payload) {
    if (rec.kind == VARNEL_KIND_AUDIO) return Current().Sound(rec, payload);
    const int codec = CodecOf(rec.codec, sizeof rec.codec);
    if (codec != codec_ && Current().Pictures() > 0) {
        // One track carries one codec, and few players follow a change inside a file: the
        // next file starts here, with its own time 0.
        if (rec.keyFrame != 1) return true;  // wait for the key frame of the new codec
        platform::TraceF("export: codec changes at %s, next file\r\n", rec.timeText);
        if (!Current().Finish() || !NextFile()) return false;
    }
    if (!Current().Picture(rec, payload)) return false;
    if (Current().Pictures() > 0) codec_ = codec;
    return true;
}

bool ChannelClip::Finish() {
    return files_.empty() || Current().Finish();
}

bool ChannelClip::Publish() {
    for (auto& file : files_) {
        if (file->Pictures() > 0 && !file->Publish()) return false;
    }
    return true;
}

int64_t ChannelClip::Sum(int64_t (ClipFile::*count)() const) const {
    int64_t n = 0;
    for (const auto& file : files_) n += ((*file).*count)();
    return n;
}

int64_t ChannelClip::Pictures() const {
    return Sum(&ClipFile::Pictures);
}

int64_t ChannelClip::SoundBlocks() const {
    return Sum(&ClipFile::SoundBlocks);
}

int64_t ChannelClip::Bytes() const {
    return Sum(&ClipFile::Bytes);
}

int ChannelClip::Files() const {
    return static_cast<int>(std::count_if(files_.begin(), files_.end(),
                                          [](const auto& file) { return file->Pictures() > 0; }));
}

const ClipFile* ChannelClip::WithPictures(bool last) const {
    const auto has = [](const auto& file) { return file->Pictures() > 0; };
    if (last) {
        const auto it = std::find_if(files_.rbegin(), files_.rend(), has);
        return it == files_.rend() ? nullptr : it->get();
    }
    const auto it = std::find_if(files_.begin(), files_.end(), has);
    return it == files_.end() ? nullptr : it->get();
}

int64_t ChannelClip::FirstFrameTime() const {
    const ClipFile* file = WithPictures(false);
    return file != nullptr ? file->FirstFrameTime() : 0;
}

int64_t ChannelClip::LastFrameTime() const {
    const ClipFile* file = WithPictures(true);
    return file != nullptr ? file->LastFrameTime() : 0;
}

int64_t ChannelClip::EndFrameTime() const {
    const ClipFile* file = WithPictures(true);
    return file != nullptr ? file->EndFrameTime() : 0;
}

}  // namespace exporter
