#include "media.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <map>
#include <mutex>

#include "calendar.h"
#include "foundation/ffmpeg_ptr.h"

namespace recorder {
namespace {

using ffmpeg::BsfPtr;
using ffmpeg::CodecContextPtr;
using ffmpeg::FormatPtr;
using ffmpeg::FramePtr;
using ffmpeg::PacketPtr;
using ffmpeg::SwrPtr;

void Check(int code, const std::string& what) {
    if (code < 0) throw std::runtime_error(what + ": " + ffmpeg::ErrorText(code));
}

// The sound of one file, decoded and converted to 8000 Hz mono 16-bit samples.
class SoundReader {
public:
    SoundReader(AVStream* stream) : m_index(stream->index) {
        const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
        if (codec == nullptr) return;  // a sound we cannot decode is left out
        m_decoder.reset(avcodec_alloc_context3(codec));
        avcodec_parameters_to_context(m_decoder.get(), stream->codecpar);
        if (avcodec_open2(m_decoder.get(), codec, nullptr) < 0) {
            m_decoder.reset();
            return;
        }
        AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
        SwrContext* swr = nullptr;
        if (swr_alloc_set_opts2(&swr, &mono, AV_SAMPLE_FMT_S16, 8000, &m_decoder->ch_layout,
                                m_decoder->sample_fmt, m_decoder->sample_rate, 0, nullptr) < 0 ||
            swr_init(swr) < 0) {
            swr_free(&swr);
            m_decoder.reset();
            return;
        }
        m_swr.reset(swr);
        m_frame.reset(av_frame_alloc());
    }
    int Index() const { return m_decoder ? m_index : -1; }

    void Feed(const AVPacket* pkt) {
        if (!m_decoder) return;
        if (avcodec_send_packet(m_decoder.get(), pkt) < 0) return;
        while (avcodec_receive_frame(m_decoder.get(), m_frame.get()) >= 0) {
            Convert(const_cast<const uint8_t**>(m_frame->extended_data), m_frame->nb_samples);
            av_frame_unref(m_frame.get());
        }
    }
    std::vector<int16_t> Finish() {
        if (m_decoder) {
            Feed(nullptr);
            Convert(nullptr, 0);
        }
        return std::move(m_samples);
    }

private:
    void Convert(const uint8_t** in, int count) {
        const int room = swr_get_out_samples(m_swr.get(), count);
        if (room <= 0) return;
        const size_t at = m_samples.size();
        m_samples.resize(at + room);
        uint8_t* out = reinterpret_cast<uint8_t*>(m_samples.data() + at);
        const int got = swr_convert(m_swr.get(), &out, room, in, count);
        m_samples.resize(at + (got > 0 ? got : 0));
    }

    int m_index;
    CodecContextPtr m_decoder;
    SwrPtr m_swr;
    FramePtr m_frame;
    std::vector<int16_t> m_samples;
};

// G.711 µ-law blocks of 40 ms through FFmpeg's own encoder.
void EncodeSound(const std::vector<int16_t>& samples, int64_t start, int64_t end, Recording& out) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PCM_MULAW);
    if (codec == nullptr || samples.empty()) return;
    CodecContextPtr enc(avcodec_alloc_context3(codec));
    enc->sample_rate = 8000;
    enc->sample_fmt = AV_SAMPLE_FMT_S16;
    av_channel_layout_default(&enc->ch_layout, 1);
    Check(avcodec_open2(enc.get(), codec, nullptr), "µ-law encoder");
    FramePtr frame(av_frame_alloc());
    PacketPtr pkt(av_packet_alloc());
    for (size_t at = 0; at < samples.size(); at += kAudioBlockSamples) {
        const int n = static_cast<int>(std::min<size_t>(kAudioBlockSamples, samples.size() - at));
        frame->nb_samples = n;
        frame->format = AV_SAMPLE_FMT_S16;
        av_channel_layout_default(&frame->ch_layout, 1);
        frame->sample_rate = 8000;
        Check(av_frame_get_buffer(frame.get(), 0), "sound block");
        std::copy_n(samples.data() + at, n, reinterpret_cast<int16_t*>(frame->data[0]));
        Check(avcodec_send_frame(enc.get(), frame.get()), "µ-law encoding");
        av_frame_unref(frame.get());
        while (avcodec_receive_packet(enc.get(), pkt.get()) >= 0) {
            MediaFrame f;
            f.kind = 2;
            f.time = start + static_cast<int64_t>(at) * kTicksPerSecond / 8000;
            if (f.time >= end) return;  // sound beyond the pictures would overlap the next file
            f.durationMs = n / 8;
            f.data = std::make_shared<const std::vector<uint8_t>>(pkt->data, pkt->data + pkt->size);
            out.audio.push_back(std::move(f));
            av_packet_unref(pkt.get());
        }
    }
}

// Appends one file's frames, starting at the given time; returns the time just after it.
int64_t LoadFile(const std::string& path, int64_t start, Recording& out) {
    AVFormatContext* raw = nullptr;
    Check(avformat_open_input(&raw, path.c_str(), nullptr, nullptr), path);
    FormatPtr format(raw);
    Check(avformat_find_stream_info(format.get(), nullptr), path);
    const int vi = av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (vi < 0) throw std::runtime_error(path + ": no video");
    AVStream* video = format->streams[vi];
    std::string codec;
    const char* filter = nullptr;
    if (video->codecpar->codec_id == AV_CODEC_ID_H264) {
        codec = "h264";
        filter = "h264_mp4toannexb";
    } else if (video->codecpar->codec_id == AV_CODEC_ID_HEVC) {
        codec = "hevc";
        filter = "hevc_mp4toannexb";
    } else {
        throw std::runtime_error(path + ": video is neither H.264 nor H.265");
    }
    AVRational rate = av_guess_frame_rate(format.get(), video, nullptr);
    if (rate.num <= 0 || rate.den <= 0) rate = {25, 1};
    const double frameTicks = static_cast<double>(kTicksPerSecond) * rate.den / rate.num;
    const int frameMs = static_cast<int>(std::lround(1000.0 * rate.den / rate.num));

    AVBSFContext* bsfRaw = nullptr;
    Check(av_bsf_alloc(av_bsf_get_by_name(filter), &bsfRaw), filter);
    BsfPtr bsf(bsfRaw);
    Check(avcodec_parameters_copy(bsf->par_in, video->codecpar), filter);
    bsf->time_base_in = video->time_base;
    Check(av_bsf_init(bsf.get()), filter);

    std::unique_ptr<SoundReader> sound;
    const int ai = av_find_best_stream(format.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (ai >= 0) sound = std::make_unique<SoundReader>(format->streams[ai]);

    int64_t count = 0;
    const size_t firstOfFile = out.video.size();
    PacketPtr pkt(av_packet_alloc());
    const auto take = [&] {
        while (av_bsf_receive_packet(bsf.get(), pkt.get()) >= 0) {
            const bool key = (pkt->flags & AV_PKT_FLAG_KEY) != 0;
            // Each file opens with a key frame: anything before the first is undecodable.
            if (key || out.video.size() > firstOfFile) {
                MediaFrame f;
                f.key = key;
                f.codec = codec;
                // Timed by decoding order at the file's frame rate, which keeps the times
                // rising in sending order whatever the container's time stamps say.
                f.time = start + std::llround(count * frameTicks);
                f.durationMs = frameMs;
                f.data =
                    std::make_shared<const std::vector<uint8_t>>(pkt->data, pkt->data + pkt->size);
                if (key) out.groups.push_back(out.video.size());
                out.video.push_back(std::move(f));
                ++count;
            }
            av_packet_unref(pkt.get());
        }
    };
    while (av_read_frame(format.get(), pkt.get()) >= 0) {
        if (pkt->stream_index == vi) {
            if (av_bsf_send_packet(bsf.get(), pkt.get()) < 0) av_packet_unref(pkt.get());
            take();
        } else {
            if (sound && pkt->stream_index == sound->Index()) sound->Feed(pkt.get());
            av_packet_unref(pkt.get());
        }
    }
    av_bsf_send_packet(bsf.get(), nullptr);
    take();
    if (count == 0) throw std::runtime_error(path + ": no key frame");
    const int64_t end = start + std::llround(count * frameTicks);
    if (sound) EncodeSound(sound->Finish(), start, end, out);
    return end;
}

// One file's frames from time 0, read on first use and kept: a recording that lists a clip
// many times (a long channel made of one sample) was read as often, over five seconds before
// the recorder answered and three times that under a sanitizer, past a client's timeout.
std::shared_ptr<const Recording> LoadOnce(const std::string& path) {
    static std::mutex lock;
    static std::map<std::string, std::shared_ptr<const Recording>> loaded;
    std::lock_guard<std::mutex> hold(lock);
    auto& slot = loaded[path];
    if (!slot) {
        auto one = std::make_shared<Recording>();
        one->end = LoadFile(path, 0, *one);
        slot = std::move(one);
    }
    return slot;
}

}  // namespace

std::shared_ptr<const Recording> LoadRecording(const std::vector<std::string>& files,
                                               int64_t start) {
    auto rec = std::make_shared<Recording>();
    int64_t at = start;
    for (const std::string& file : files) {
        if (file.rfind(kHolePrefix, 0) == 0) {
            at += std::stoll(file.substr(sizeof kHolePrefix - 1)) * kTicksPerSecond;
            continue;
        }
        const std::shared_ptr<const Recording> one = LoadOnce(file);
        for (size_t g : one->groups) rec->groups.push_back(rec->video.size() + g);
        const auto append = [at](const std::vector<MediaFrame>& from, std::vector<MediaFrame>& to) {
            for (MediaFrame f : from) {
                f.time += at;
                to.push_back(std::move(f));
            }
        };
        append(one->video, rec->video);
        append(one->audio, rec->audio);
        at += one->end;
    }
    rec->start = start;
    rec->end = at;
    return rec;
}

}  // namespace recorder
