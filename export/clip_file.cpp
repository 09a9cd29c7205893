#include "export/clip_file.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include "export/names.h"
#include "export/video_parameters.h"
#include "platform/files.h"
#include "platform/trace.h"
#include "platform/wintime.h"

namespace exporter {

namespace {

constexpr AVRational kMs = {1, 1000};
constexpr int64_t kTicksPerMs = 10000;  // frame times count 100 ns
// The tracks are declared in the file header, so whether there is sound must be known before
// it is written: pictures are held until sound comes, or until this much of them is held (a
// recorder interleaves sound with the pictures of the same moment, so a channel with sound
// shows it long before).
constexpr int64_t kHoldForSoundMs = 1000;

// Frame times count from year 1 and the platform's calendar from 1601: its year is 1600 ahead.
std::string CreationTimeOf(int64_t frameTime) {
    platform::SYSTEMTIME st{};
    const auto ft = static_cast<platform::FILETIME>(frameTime);
    platform::FileTimeToSystemTime(&ft, &st);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d000Z", st.wYear - 1600,
                  st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);
    return text;
}

struct ParametersFree {
    void operator()(AVCodecParameters* p) const { avcodec_parameters_free(&p); }
};

void NameTrack(AVStream* stream, int channel, bool mp4) {
    const std::string title = "channel " + std::to_string(channel);
    // Matroska keeps the title as the track's name; MP4 has no title, players show the
    // handler name instead.
    av_dict_set(&stream->metadata, mp4 ? "handler_name" : "title", title.c_str(), 0);
}

}  // namespace

ClipFile::ClipFile(std::string target, bool mp4, int channel)
    : target_(std::move(target)), part_(PartName(target_)), mp4_(mp4), channel_(channel) {}

ClipFile::~ClipFile() {
    if (format_ != nullptr) {
        avio_closep(&format_->pb);
        avformat_free_context(format_);
    }
    if (created_ && !published_) platform::DeleteFile(part_.c_str());
}

bool ClipFile::Failed(const char* what, int error) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    platform::TraceF("export: %s %s: %s\r\n", what, part_.c_str(), text);
    return false;
}

bool ClipFile::Create() {
    const int made =
        avformat_alloc_output_context2(&format_, nullptr, mp4_ ? "mp4" : "matroska", nullptr);
    if (made < 0) return Failed("cannot prepare", made);
    const int opened = avio_open(&format_->pb, part_.c_str(), AVIO_FLAG_WRITE);
    if (opened < 0) return Failed("cannot create", opened);
    created_ = true;
    return true;
}

int64_t ClipFile::MsOf(int64_t frameTime) const {
    const int64_t ticks = frameTime - origin_;
    return ticks >= 0 ? (ticks + kTicksPerMs / 2) / kTicksPerMs
                      : -((-ticks + kTicksPerMs / 2) / kTicksPerMs);
}

bool ClipFile::Picture(const frameheader1& rec, const uint8_t* payload) {
    if (video_ == nullptr) {
        const int codec = CodecOf(rec.codec, sizeof rec.codec);
        if (rec.keyFrame != 1 || codec == AV_CODEC_ID_NONE || format_ == nullptr) return true;
        std::unique_ptr<AVCodecParameters, ParametersFree> par(avcodec_parameters_alloc());
        if (!par) return Failed("no memory for", AVERROR(ENOMEM));
        par->codec_type = AVMEDIA_TYPE_VIDEO;
        par->codec_id = static_cast<AVCodecID>(codec);
        if (!ReadVideoParameters(payload, rec.length, par.get())) {
            // A key frame without its parameter sets cannot start a file a player opens.
            platform::TraceF("export: key frame at %s has no parameter sets, skipped\r\n",
                             rec.timeText);
            return true;
        }
        video_ = avformat_new_stream(format_, nullptr);
        if (video_ == nullptr || avcodec_parameters_copy(video_->codecpar, par.get()) < 0)
            return Failed("no track in", AVERROR(ENOMEM));
        origin_ = rec.frameTime;
    }
    const int64_t ms = MsOf(rec.frameTime);
    // Each track's times must rise: a picture the recorder sends again is left out.
    if (ms <= lastPictureMs_) return true;
    lastPictureMs_ = ms;
    lastPicture_ = rec.frameTime;
    endTime_ = rec.frameTime + int64_t{rec.duration > 0 ? rec.duration : 0} * kTicksPerMs;
    pictures_ += 1;
    heldSpan_ = ms;
    return Queue(rec, payload, false);
}

bool ClipFile::Sound(const frameheader1& rec, const uint8_t* payload) {
    if (mp4_) {
        if (!soundDropTraced_)
            platform::TraceF("export: %s: sound left out, MP4 has no place for G.711\r\n",
                             target_.c_str());
        soundDropTraced_ = true;
        return true;
    }
    if (video_ == nullptr) return true;  // the file starts with its first picture
    const int64_t ms = MsOf(rec.frameTime);
    if (ms < 0 || ms <= lastSoundMs_) return true;
    if (started_ && audio_ == nullptr) {
        // The tracks were fixed before any sound came: it cannot be added now.
        if (!soundDropTraced_)
            platform::TraceF("export: %s: sound came after the tracks were fixed, left out\r\n",
                             target_.c_str());
        soundDropTraced_ = true;
        return true;
    }
    lastSoundMs_ = ms;
    soundSeen_ = true;
    soundBlocks_ += 1;
    return Queue(rec, payload, true);
}

bool ClipFile::Queue(const frameheader1& rec, const uint8_t* payload, bool sound) {
    ffmpeg::PacketPtr packet = ffmpeg::MakePacket();
    if (!packet || av_new_packet(packet.get(), rec.length) < 0)
        return Failed("no memory for", AVERROR(ENOMEM));
    if (rec.length > 0) std::memcpy(packet->data, payload, static_cast<size_t>(rec.length));
    packet->pts = packet->dts = MsOf(rec.frameTime);
    // G.711 is one byte a sample at 8000 Hz: eight bytes a millisecond.
    packet->duration = sound ? rec.length / 8 : (rec.duration > 0 ? rec.duration : 0);
    if (!sound && rec.keyFrame == 1) packet->flags |= AV_PKT_FLAG_KEY;
    if (started_) return Write(std::move(packet), sound);
    held_.push_back({std::move(packet), sound});
    if (soundSeen_ || mp4_ || heldSpan_ >= kHoldForSoundMs) return Start();
    return true;
}

bool ClipFile::Start() {
    started_ = true;
    if (soundSeen_) {
        audio_ = avformat_new_stream(format_, nullptr);
        if (audio_ == nullptr) return Failed("no track in", AVERROR(ENOMEM));
        AVCodecParameters* par = audio_->codecpar;
        par->codec_type = AVMEDIA_TYPE_AUDIO;
        par->codec_id = AV_CODEC_ID_PCM_MULAW;
        par->sample_rate = 8000;
        par->bits_per_coded_sample = 8;
        par->block_align = 1;
        av_channel_layout_default(&par->ch_layout, 1);
        audio_->time_base = kMs;
        NameTrack(audio_, channel_, mp4_);
    }
    video_->time_base = kMs;
    NameTrack(video_, channel_, mp4_);
    av_dict_set(&format_->metadata, "creation_time", CreationTimeOf(origin_).c_str(), 0);
    const int written = avformat_write_header(format_, nullptr);
    if (written < 0) return Failed("cannot write the header of", written);
    while (!held_.empty()) {
        Held held = std::move(held_.front());
        held_.pop_front();
        if (!Write(std::move(held.packet), held.sound)) return false;
    }
    return true;
}

bool ClipFile::Write(ffmpeg::PacketPtr packet, bool sound) {
    AVStream* stream = sound ? audio_ : video_;
    if (stream == nullptr) return true;  // sound held for a file that took no sound track
    packet->stream_index = stream->index;
    av_packet_rescale_ts(packet.get(), kMs, stream->time_base);
    const int written = av_interleaved_write_frame(format_, packet.get());
    if (written < 0) return Failed("cannot write to", written);
    return true;
}

bool ClipFile::Finish() {
    if (format_ == nullptr || format_->pb == nullptr || pictures_ == 0) return true;
    if (!started_ && !Start()) return false;
    const int trailer = av_write_trailer(format_);
    if (trailer < 0) return Failed("cannot finish", trailer);
    bytes_ = avio_size(format_->pb);
    const int closed = avio_closep(&format_->pb);
    if (closed < 0) return Failed("cannot close", closed);
    return true;
}

bool ClipFile::Publish() {
    if (std::rename(part_.c_str(), target_.c_str()) != 0) {
        platform::TraceF("export: cannot rename %s to %s\r\n", part_.c_str(), target_.c_str());
        return false;
    }
    published_ = true;
    return true;
}

int64_t ClipFile::Bytes() const {
    if (format_ != nullptr && format_->pb != nullptr) return avio_tell(format_->pb);
    return bytes_;
}

}  // namespace exporter
