// The decoder thread and its helpers: each channel's packets become BGR24 pictures in that
// channel's picture queue, as far as its bound allows. Also the
// element's decoder, converter and resampler set-up, and its BMP debugging aid.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <system_error>
#include <thread>

#include "element/CQMediaElement.h"
#include "platform/trace.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

using element::ffmpegdata;
using element::packet_ext;
using element::PicturePtr;
using ffmpeg::PacketPtr;

namespace {

constexpr int64_t kTicksPerMs = 10000;  // frame times are in 100 ns units
// How long an idle decoder thread waits before it looks again; new packets, room in a picture
// queue and the end wake it sooner, so this only bounds a wake-up missed between a look and
// the wait (20 pictures queued are 800 ms of play), and keeps a paused element quiet.
constexpr auto kIdleWait = std::chrono::milliseconds(20);
// Records kept for access units whose pictures never came (a decoder refusing a packet).
constexpr size_t kMaxUnitsInDecoder = 256;

// Channels are decoded in parallel: one thread decodes all of them at about 2.4 ms a 720p
// picture, which is 16 channels at 25 fps on one whole core, and playback would fall behind.
// Each channel is decoded by one thread at a time, so its pictures stay in order.
unsigned DecoderThreads(size_t channels) {
    const unsigned processors = std::max(1u, std::thread::hardware_concurrency());
    return static_cast<unsigned>(std::clamp<size_t>(channels, 1, processors));
}

}  // namespace

bool CQMediaElement::DecodeVideo() {
    // The helpers belong to this thread, which joins them before it ends.
    std::vector<std::thread> helpers;
    const unsigned threads = DecoderThreads(m_mapClock.size());
    try {
        for (unsigned i = 1; i < threads; ++i) helpers.emplace_back([this] { DecodeWorker(); });
    } catch (const std::system_error&) {
        // Fewer helpers: slower, still in order.
    }
    DecodeWorker();
    WakeThreads();
    for (std::thread& helper : helpers) helper.join();
    return true;
}

void CQMediaElement::DecodeWorker() {
    // Decoding takes most of the processors with many channels; the clock's ticks must not
    // wait behind it for the scheduler, or every channel's pictures come late together.
    platform::MarkThroughputThread();
    ffmpeg::FramePtr frame = ffmpeg::MakeFrame();
    if (!frame) return;
    int32_t last = INT32_MIN;
    while (Active()) {
        std::optional<int32_t> channel;
        if (m_nReseek == 0) channel = TakeChannel(last);
        if (channel) {
            DecodeChannel(*channel, frame.get());
            last = *channel;
            continue;
        }
        std::unique_lock<std::mutex> hold(m_mtxPacket);
        m_cvDecode.wait_for(hold, kIdleWait);
    }
}

std::optional<int32_t> CQMediaElement::TakeChannel(int32_t after) {
    std::lock_guard<std::mutex> hold(m_mtxPacket);
    if (m_mapClock.empty()) return std::nullopt;
    // Round the channels from the one after the last taken, so that none waits behind the
    // others.
    auto it = m_mapClock.upper_bound(after);
    for (size_t i = 0; i < m_mapClock.size(); ++i, ++it) {
        if (it == m_mapClock.end()) it = m_mapClock.begin();
        element::ChannelLoad& load = m_mapLoad.at(it->first);
        if (!load.decoding &&
            (load.packets > 0 || load.reversed || (load.collecting && m_bInputEnded)) &&
            load.pictures < kPictureQueueLimit) {
            load.decoding = true;
            return it->first;
        }
    }
    return std::nullopt;
}

void CQMediaElement::DecodeChannel(int32_t channel, AVFrame* frame) {
    element::ChannelLoad& load = m_mapLoad.at(channel);
    ffmpegdata& data = *m_mapCodec.at(channel);
    QueueReversed(channel, data, data.generation);
    // Held pictures at their bound wait to be shown before more are decoded.
    while (Active() && m_nReseek == 0 && load.pictures < kPictureQueueLimit &&
           !data.reverse.Full()) {
        PacketPtr packet;
        uint64_t generation;
        {
            std::lock_guard<std::mutex> hold(m_mtxPacket);
            auto& queue = m_mapPacket.at(channel);
            if (queue.empty()) break;
            packet = std::move(queue.front());
            queue.pop_front();
            --load.packets;
            load.bytes -= packet->size;
            generation = m_nGeneration;
        }
        m_cvRoom.notify_one();
        DecodePacket(channel, data, std::move(packet), generation, frame);
    }
    // The end of the feed completes the last group read backward.
    if (SmoothBackward() && m_bInputEnded && data.reverse.Held() > 0) {
        bool drained;
        uint64_t generation;
        {
            std::lock_guard<std::mutex> hold(m_mtxPacket);
            drained = m_mapPacket.at(channel).empty();
            generation = m_nGeneration;
        }
        if (drained && data.generation == generation) {
            data.reverse.EndGroup();
            QueueReversed(channel, data, generation);
        }
    }
    {
        std::lock_guard<std::mutex> hold(m_mtxPacket);
        load.decoding = false;
        load.collecting = SmoothBackward() && data.generation == m_nGeneration &&
                          data.reverse.Held() > 0 && !data.reverse.HasOutgoing();
    }
    m_cvDecode.notify_all();
}

void CQMediaElement::DecodePacket(int32_t channel, ffmpegdata& data, PacketPtr packet,
                                  uint64_t generation, AVFrame* frame) {
    size_t sideSize = 0;
    const uint8_t* side =
        av_packet_get_side_data(packet.get(), AV_PKT_DATA_NEW_EXTRADATA, &sideSize);
    if (side == nullptr || sideSize < sizeof(packet_ext)) return;
    packet_ext ext;
    std::memcpy(&ext, side, sizeof ext);
    ext.codec[sizeof ext.codec - 1] = '\0';
    CheckVideoCodec(ext.codec, &data);
    if (data.generation != generation) {
        // The first packet after a re-seek: the references of the old position would make
        // its first pictures out of the wrong ones.
        data.video.Flush();
        data.inDecoder.clear();
        data.reverse.Clear();
        data.generation = generation;
    }
    if (!data.video.IsOpen()) return;
    if (data.inDecoder.size() > kMaxUnitsInDecoder) data.inDecoder.clear();
    data.inDecoder[packet->pts] = {ext.frameTime, static_cast<int32_t>(packet->duration)};
    const int64_t sentPts = packet->pts;
    const bool backward = SmoothBackward();
    if (backward) {
        engine::video_ext record{};
        record.frameTime = ext.frameTime;
        std::memcpy(record.codec, ext.codec, sizeof record.codec - 1);
        data.reverse.AddPacket(*packet, record);
    }
    data.video.Send(*packet);
    packet.reset();

    while (data.video.Receive(frame) == 0) {
        if (frame->pts == AV_NOPTS_VALUE) frame->pts = sentPts;
        element::ffmpegdata::Unit unit{ext.frameTime, 0};
        if (auto it = data.inDecoder.find(frame->pts); it != data.inDecoder.end()) {
            unit = it->second;
            data.inDecoder.erase(it);
        }
        if (!backward) {
            QueuePicture(channel, data, *frame, unit.frameTime, unit.duration, generation);
            continue;
        }
        if (BeyondTurn(channel, unit.frameTime)) {
            // Turned back: the place's group ends at the place, and is shown from there
            // without waiting for the group before it.
            data.reverse.EndGroup();
            continue;
        }
        engine::HeldPicture held;
        held.frame = ffmpeg::MakeFrame();
        if (!held.frame) continue;
        av_frame_move_ref(held.frame.get(), frame);
        held.hasRecord = true;
        held.record.frameTime = unit.frameTime;
        held.duration = unit.duration;
        data.reverse.AddPicture(std::move(held));
    }
    QueueReversed(channel, data, generation);
}

bool CQMediaElement::BeyondTurn(int32_t channel, int64_t frameTime) {
    std::lock_guard<std::mutex> hold(m_mtxPicture);
    const auto resume = m_mapResume.find(channel);
    return resume != m_mapResume.end() && resume->second.direction == 0 &&
           frameTime >= resume->second.place;
}

void CQMediaElement::QueueReversed(int32_t channel, ffmpegdata& data, uint64_t generation) {
    element::ChannelLoad& load = m_mapLoad.at(channel);
    engine::HeldPicture held;
    while (load.pictures < kPictureQueueLimit && data.reverse.TakeOutgoing(held))
        QueuePicture(channel, data, *held.frame, held.record.frameTime, held.duration, generation);
    load.reversed = data.reverse.HasOutgoing();
}

void CQMediaElement::QueuePicture(int32_t channel, ffmpegdata& data, const AVFrame& frame,
                                  int64_t frameTime, int32_t duration, uint64_t generation) {
    const int width = frame.width;
    const int height = frame.height;
    const size_t size = engine::PictureDecoder::BGR24Size(width, height);
    if (size == 0) return;
    // Converted straight into the picture's own buffer: the same single conversion, and no
    // second copy of every picture through a shared target.
    unsigned char* pixels = m_pool.Take(size);
    if (pixels == nullptr) return;
    PicturePtr picture(new pictureframe{}, element::PictureFree{&m_pool});
    picture->pixels = pixels;
    picture->width = width;
    picture->height = height;
    if (!data.video.ConvertToBGR24(frame, pixels, width * 3)) return;
    picture->frameTime = frameTime;
    picture->channel = channel;
    picture->duration = duration;
    picture->pts = static_cast<double>(frame.pts);
    std::lock_guard<std::mutex> hold(m_mtxPicture);
    if (generation != m_nGeneration) return;  // cleared meanwhile
    if (SmoothBackward()) {
        // The reader counts pts back from the latest frame read so far, which moves on while
        // a group is read forward: the pictures count back from one time instead, the latest
        // read when the first of them is queued (the rest come in falling time).
        if (m_llReverseBase == -1) {
            std::lock_guard<std::mutex> packets(m_mtxPacket);
            m_llReverseBase = std::max(m_llBaseTime, frameTime);
        }
        picture->pts =
            static_cast<double>(std::max<int64_t>(0, m_llReverseBase - frameTime) / kTicksPerMs);
    }
    // After a turn the pictures up to the one shown last are passed over. Going forward the
    // first beyond it ends the filter, as the pictures come in the order shown; going back
    // the filter stays (the rest of the place's group is still decoded after it).
    if (auto resume = m_mapResume.find(channel); resume != m_mapResume.end()) {
        const element::resumefilter& r = resume->second;
        if (r.direction == 1 ? frameTime <= r.place : frameTime >= r.place) return;
        if (r.direction == 1) m_mapResume.erase(resume);
    }
    m_mapPicture.at(channel).push_back(std::move(picture));
    ++m_mapLoad.at(channel).pictures;
}

bool CQMediaElement::CheckVideoCodec(const char* name, ffmpegdata* data) {
    data->video.Open(name);
    return true;
}

bool CQMediaElement::CheckScale(int32_t width, int32_t height, ffmpegdata* data) {
    data->video.MakeTarget(width, height);
    return true;
}

bool CQMediaElement::audio_swr_resampling_audio_init(SwrContext** swr, AVCodecContext* context,
                                                     int32_t outLayout, int32_t outRate,
                                                     AVSampleFormat outFormat) {
    ffmpeg::SwrPtr previous(*swr);
    *swr = nullptr;
    previous.reset();
    // 8-, 16- and 32-bit integer samples need no conversion.
    if (context->sample_fmt == AV_SAMPLE_FMT_U8 || context->sample_fmt == AV_SAMPLE_FMT_S16 ||
        context->sample_fmt == AV_SAMPLE_FMT_S32)
        return true;
    ffmpeg::SwrPtr resampler(swr_alloc());
    if (!resampler) return true;
    // The input layout is the default one for the decoder's channel count: the count is all
    // the decoder tells. The layouts go in through the channel-layout options that replace
    // "in_channel_layout" and "out_channel_layout" in this FFmpeg.
    AVChannelLayout in{};
    av_channel_layout_default(
        &in, context->ch_layout.nb_channels > 0 ? context->ch_layout.nb_channels : 1);
    AVChannelLayout out{};
    av_channel_layout_from_mask(&out, static_cast<uint64_t>(static_cast<uint32_t>(outLayout)));
    av_opt_set_chlayout(resampler.get(), "in_chlayout", &in, 0);
    av_opt_set_int(resampler.get(), "in_sample_rate", context->sample_rate, 0);
    av_opt_set_sample_fmt(resampler.get(), "in_sample_fmt", context->sample_fmt, 0);
    av_opt_set_chlayout(resampler.get(), "out_chlayout", &out, 0);
    av_opt_set_int(resampler.get(), "out_sample_rate", outRate, 0);
    av_opt_set_sample_fmt(resampler.get(), "out_sample_fmt", outFormat, 0);
    av_channel_layout_uninit(&in);
    av_channel_layout_uninit(&out);
    if (swr_init(resampler.get()) < 0) return true;
    *swr = resampler.release();
    return true;
}

void CQMediaElement::bmp_save(AVFrame* frame, int32_t width, int32_t height, const char* path) {
    std::FILE* file = std::fopen(path, "wb");
    if (file == nullptr) {
        std::printf("open file failed!\n");
        return;
    }
    const uint32_t pixelBytes =
        static_cast<uint32_t>(width) * 24 * static_cast<uint32_t>(height) / 8;
    uint8_t header[54] = {};
    const auto put16 = [&](int at, uint32_t v) {
        header[at] = static_cast<uint8_t>(v);
        header[at + 1] = static_cast<uint8_t>(v >> 8);
    };
    const auto put32 = [&](int at, uint32_t v) {
        put16(at, v & 0xFFFF);
        put16(at + 2, v >> 16);
    };
    header[0] = 0x42;
    header[1] = 0x4D;
    put32(2, pixelBytes + 54);
    put32(10, 54);
    put32(14, 40);
    put32(18, static_cast<uint32_t>(width));
    put32(22, static_cast<uint32_t>(-height));  // rows top-down
    put16(26, 1);
    put16(28, 24);
    put32(34, static_cast<uint32_t>((width * 24 + 31) / 32 * height * 4));
    put32(38, 100);
    put32(42, 100);
    std::fwrite(header, 1, sizeof header, file);
    // The rows as the BGR24 buffer holds them, without the format's row alignment.
    if (frame != nullptr && frame->data[0] != nullptr)
        std::fwrite(frame->data[0], 1, pixelBytes, file);
    std::fclose(file);
}
