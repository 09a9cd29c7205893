// Decoders, the video thread and the picture queue.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "engine/CQFFmpegPlayer.h"
#include "engine/engine_source.h"
#include "net/http/url.h"
#include "platform/trace.h"
#include "platform/wintime.h"

#include <SDL.h>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/time.h>
}

using engine::PacketPtr;
using engine::VideoPicture;
using engine::VideoState;

engine::PictureDecoder::Options CQFFmpegPlayer::VideoDecoderOptions() {
    const unsigned processors = std::thread::hardware_concurrency();
    return {processors > 1 ? static_cast<int>(processors / 2) : 1, 0};
}

int CQFFmpegPlayer::stream_component_open_video(VideoState* is, const char* name, int source) {
    (void)is;
    VideoDecoder(source).Open(name);
    m_bHasVideoDecoder = m_VideoDecoder.IsOpen() || m_VideoDecoderFos.IsOpen();
    return 1;
}

int CQFFmpegPlayer::stream_component_open(VideoState* is, int stream, const char* name) {
    if (stream == 1) {
        stream_component_open_video(is, name);
        is->video_stream = 1;
        is->videoq.Start();
        is->video_tid.Start([this, is] { video_thread(is); });
        return 0;
    }
    if (stream != 2) return -1;
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_PCM_MULAW);
    if (codec == nullptr) return -1;
    engine::CodecContextPtr ctx(avcodec_alloc_context3(codec));
    if (!ctx) return -1;
    ctx->sample_rate = 8000;
    av_channel_layout_uninit(&ctx->ch_layout);
    av_channel_layout_default(&ctx->ch_layout, 1);
    AVDictionary* opts = nullptr;
    if (!av_dict_get(opts, "threads", nullptr, 0)) av_dict_set(&opts, "threads", "auto", 0);
    int ret = avcodec_open2(ctx.get(), codec, &opts);
    if (ret >= 0) {
        if (const AVDictionaryEntry* t = av_dict_get(opts, "", nullptr, AV_DICT_IGNORE_SUFFIX)) {
            std::fprintf(stderr, "Option %s not found.\n", t->key);
            ret = AVERROR_OPTION_NOT_FOUND;
        }
    }
    av_dict_free(&opts);
    if (ret < 0) return ret;
    if (!m_bSdlAudio) return -1;
    ret = audio_open(&ctx->ch_layout, ctx->ch_layout.nb_channels, ctx->sample_rate, &is->audio_tgt,
                     is);
    if (ret < 0) return -1;
    m_pCodectx_Audio = std::move(ctx);
    is->audio_hw_buf_size = ret;
    engine::CopyAudioParams(is->audio_src, is->audio_tgt);
    is->audio_stream = 2;
    is->audio_buf_size = 0;
    is->audio_buf_index = 0;
    is->audio_diff_avg_coef = std::exp(std::log(0.01) / 20);
    is->audio_diff_avg_count = 0;
    const int bytesPerSec = is->audio_tgt.freq * is->audio_tgt.channels * 2;
    is->audio_diff_threshold = bytesPerSec > 0 ? 2.0 * is->audio_hw_buf_size / bytesPerSec : 0;
    is->audioq.Start();
    m_pAudioState = is;
    SDL_PauseAudioDevice(is->audio_device, 0);
    return 0;
}

void CQFFmpegPlayer::stream_component_close(VideoState* is, int stream) {
    if (stream == 1) {
        is->videoq.Abort();
        {
            // Taken and dropped, so that a writer between its test and its wait still wakes.
            std::lock_guard<std::mutex> lock(is->pictq_mutex);
        }
        is->pictq_cond.notify_all();
        is->video_tid.Join();
        is->videoq.Flush();
        m_bHasVideoDecoder = false;
        m_VideoDecoder.Close();
        m_VideoDecoderFos.Close();
        m_mapInDecoder.clear();
        ClearReversed();
        is->video_stream = -1;
    } else if (stream == 2) {
        audio_component_close(is);
    }
}

int CQFFmpegPlayer::get_video_frame(VideoState* is, AVFrame* frame, bool block) {
    PacketPtr pkt;
    const int got = is->videoq.Get(pkt, block, &is->video_busy);
    if (got <= 0) return got;
    if (is->videoq.Count() <= engine::kVideoRefillAt) engine::WakeReader(is);

    if (engine::IsFlushPacket(pkt.get())) {
        is->turn_flush_pending = false;
        m_VideoDecoder.Flush();
        m_VideoDecoderFos.Flush();
        m_mapInDecoder.clear();
        ClearReversed();
        std::unique_lock<std::mutex> lock(is->pictq_mutex);
        for (VideoPicture& vp : is->pictq) vp.skip = true;
        KickRefresh();  // the pictures dropped go at the next look
        is->pictq_cond.wait(lock, [is] { return is->pictq_size == 0 || is->videoq.Aborted(); });
        is->frame_last_pts = engine::kNoValue;
        is->frame_last_duration = 0;
        is->frame_timer = av_gettime() / 1000000.0;
        return 1;
    }

    if (engine::IsDrainPacket(pkt.get())) {
        // The end of the feed: every picture the decoders still hold comes out now. Each
        // decoder is flushed afterwards, so that it takes packets again.
        for (engine::PictureDecoder* decoder : {&m_VideoDecoder, &m_VideoDecoderFos}) {
            if (decoder->Drain() < 0) continue;
            if (receive_pictures(is, *decoder, frame) < 0) return -1;
            decoder->Flush();
        }
        m_mapInDecoder.clear();
        // The last groups of a reverse play are complete now.
        m_reverseMain.EndGroup();
        m_reverseFos.EndGroup();
        CountReversed();
        return 1;
    }

    engine::video_ext record{};
    size_t sideSize = 0;
    const uint8_t* side = av_packet_get_side_data(pkt.get(), AV_PKT_DATA_NEW_EXTRADATA, &sideSize);
    int source = 0;
    if (side != nullptr && sideSize >= sizeof(engine::video_ext)) {
        std::memcpy(&record, side, sizeof record);
        record.codec[sizeof record.codec - 1] = '\0';
        source = record.source == 1 ? 1 : 0;
        if (VideoDecoder(source).CodecName() != record.codec)
            stream_component_open_video(is, record.codec, source);
    }
    engine::PictureDecoder& decoder = VideoDecoder(source);
    if (!decoder.IsOpen()) return 1;

    if (pkt->flags & AV_PKT_FLAG_KEY) MakeRoomAhead(is, decoder, *pkt);
    if (m_mapInDecoder.size() > 256) m_mapInDecoder.clear();  // records of lost packets
    m_mapInDecoder[pkt->pts] = record;
    if (SmoothReverse()) Reverse(source).AddPacket(*pkt, record);
    decoder.Send(*pkt);
    // Every picture the packet lets out, not just one: a decoder that holds pictures back
    // would otherwise fall further behind with each one it keeps.
    return receive_pictures(is, decoder, frame) < 0 ? -1 : 1;
}

int CQFFmpegPlayer::receive_pictures(VideoState* is, engine::PictureDecoder& decoder,
                                     AVFrame* frame) {
    const int source = &decoder == &m_VideoDecoderFos ? 1 : 0;
    for (;;) {
        if (decoder.Receive(frame) < 0) return 0;
        // The picture reports the record of the access unit it was decoded from.
        engine::video_ext ext{};
        ext.frameTime = -1;
        if (auto it = m_mapInDecoder.find(frame->pts); it != m_mapInDecoder.end()) {
            ext = it->second;
            m_mapInDecoder.erase(it);
        }
        const engine::video_ext* record = ext.frameTime != -1 ? &ext : nullptr;
        if (is->turn_flush_pending) continue;
        if (record != nullptr && !PastTurn(is, record->frameTime)) {
            // Turned back: the place's group ends at the place, and is shown from there
            // without waiting for the group before it.
            if (SmoothReverse()) {
                Reverse(source).EndGroup();
                CountReversed();
            }
            continue;
        }
        if (SmoothReverse()) {
            engine::HeldPicture held;
            held.frame = engine::MakeFrame();
            if (!held.frame) continue;
            av_frame_move_ref(held.frame.get(), frame);
            held.hasRecord = record != nullptr;
            held.record = ext;
            Reverse(source).AddPicture(std::move(held));
            CountReversed();
            continue;
        }
        // Reverse play has ended: what it holds goes first, in its order.
        if (m_nReverseHeld != 0 && EmitAllReversed(is) < 0) return -1;
        if (show_picture(is, decoder, frame, record) < 0) return -1;
    }
}

int CQFFmpegPlayer::show_picture(VideoState* is, engine::PictureDecoder& decoder, AVFrame* frame,
                                 const engine::video_ext* record) {
    double pts = frame->pts == AV_NOPTS_VALUE ? 0 : static_cast<double>(frame->pts);
    pts = pts * 0.001 / m_dSpeed;
    if (record != nullptr) {
        std::lock_guard<std::mutex> lock(m_csMap);
        // Records are taken as their pictures are shown or skipped; a bound keeps the map
        // small even if some were never taken.
        while (m_mapFrames.size() >= kMaxFrameRecords) m_mapFrames.erase(m_mapFrames.begin());
        m_mapFrames.emplace(pts, *record);
    }
    return queue_picture(is, decoder, frame, pts, record != nullptr ? record->frameTime : 0,
                         record);
}

void CQFFmpegPlayer::video_thread(VideoState* is) {
    MarkEngineThread();
    engine::FramePtr frame = engine::MakeFrame();
    if (!frame) return;
    for (;;) {
        while (is->paused && !is->videoq.Aborted()) platform::Sleep(10);
        if (EmitReversed(is) < 0) break;
        // With reversed pictures waiting the thread does not sleep on an empty packet queue:
        // it shows them as the picture queue makes room.
        const bool waiting = m_reverseMain.HasOutgoing() || m_reverseFos.HasOutgoing();
        const int ret = get_video_frame(is, frame.get(), !waiting);
        is->video_busy = false;
        if (ret < 0) break;
        if (ret == 0) {
            std::unique_lock<std::mutex> lock(is->pictq_mutex);
            is->pictq_cond.wait_for(lock, std::chrono::milliseconds(10), [is] {
                return is->pictq_size < engine::kPicturesQueuedMax || is->videoq.Aborted() ||
                       is->videoq.Count() > 0;
            });
        }
    }
    is->video_busy = false;
}

void CQFFmpegPlayer::MakeRoomAhead(VideoState* is, engine::PictureDecoder& decoder,
                                   const AVPacket& keyFrame) {
    // Deliberately before the decoding: the play thread makes (and first writes) the buffer
    // of the next picture while this one decodes the key frame, which takes the first
    // picture's wait down by the time of that allocation. Only for a slot never allocated,
    // so the parameter sets are read once per slot, not once per group.
    {
        std::lock_guard<std::mutex> lock(is->pictq_mutex);
        const VideoPicture& vp = is->pictq[is->pictq_windex];
        if (vp.allocated || vp.requested) return;
    }
    int width = 0;
    int height = 0;
    if (!decoder.PictureSize(keyFrame, width, height)) return;
    std::lock_guard<std::mutex> lock(is->pictq_mutex);
    VideoPicture& vp = is->pictq[is->pictq_windex];
    if (vp.allocated || vp.requested) return;
    vp.width = width;
    vp.height = height;
    vp.reallocate = false;
    vp.requested = true;
    m_hAlloc.Set();
}

int CQFFmpegPlayer::queue_picture(VideoState* is, engine::PictureDecoder& decoder, AVFrame* src,
                                  double pts, int64_t pos, const engine::video_ext* record) {
    if (pts == 0)
        pts = is->video_clock;
    else
        is->video_clock = pts;
    is->video_clock += av_q2d(m_tbVideo) * (1 + src->repeat_pict * 0.5);

    std::unique_lock<std::mutex> lock(is->pictq_mutex);
    is->pictq_cond.wait(
        lock, [is] { return is->pictq_size < engine::kPicturesQueuedMax || is->videoq.Aborted(); });
    if (is->videoq.Aborted()) return -1;
    VideoPicture& vp = is->pictq[is->pictq_windex];
    vp.sar = src->sample_aspect_ratio;
    if (vp.reallocate || !vp.allocated || vp.width != src->width || vp.height != src->height) {
        const bool asked =
            vp.requested && !vp.reallocate && vp.width == src->width && vp.height == src->height;
        if (!asked) {
            vp.allocated = false;
            vp.reallocate = false;
            vp.width = src->width;
            vp.height = src->height;
            vp.requested = true;
            m_hAlloc.Set();
        }
        is->pictq_cond.wait(lock, [is, &vp] { return vp.allocated || is->videoq.Aborted(); });
        if (is->videoq.Aborted()) return -1;
    }
    lock.unlock();

    // Straight into the buffer the host will be handed.
    if (!decoder.ConvertToBGR24(*src, vp.frame->data[0], vp.frame->linesize[0])) {
        std::fprintf(stderr, "Cannot initialize the conversion context\n");
        std::exit(1);
    }

    vp.pts = pts;
    vp.pos = pos;
    vp.skip = false;
    vp.hasRecord = record != nullptr;
    if (record != nullptr) vp.record = *record;
    lock.lock();
    // A turn made while this picture was converted marked only the slots queued: this one
    // belongs to the old order too, and passes over the place if it is shown.
    if (is->turn_flush_pending) vp.skip = true;
    is->pictq_windex = (is->pictq_windex + 1) % engine::kPictureQueueSize;
    const bool first = is->pictq_size++ == 0;
    lock.unlock();
    // Behind a queued picture the play thread already sleeps until that one is due, and looks
    // at the next one as it shows it: only a picture into an empty queue needs telling.
    if (first) KickRefresh();
    return 0;
}

void CQFFmpegPlayer::alloc_picture(VideoState* is) {
    std::unique_lock<std::mutex> lock(is->pictq_mutex);
    VideoPicture& vp = is->pictq[is->pictq_windex];
    const int width = vp.width;
    const int height = vp.height;
    const bool nothingQueued = is->pictq_size == 0;
    lock.unlock();

    vp.frame.reset();
    vp.pixels.reset();
    engine::FramePtr frame = engine::MakeFrame();
    if (!m_bHasVideoDecoder)
        platform::TraceF("if (this->m_pCodectx_Video == nullptr) %s\r\n",
                         QNetwork::QProtocol::HidePassword(m_pLocation.get()).c_str());
    // Sized from the picture the video thread is waiting to convert, which is what the
    // buffer must hold even while the decoder is being replaced.
    const int size = av_image_get_buffer_size(AV_PIX_FMT_BGR24, width, height, 1);
    engine::AvBufferPtr pixels(size > 0 ? static_cast<uint8_t*>(av_malloc(size)) : nullptr);
    if (frame && pixels) {
        av_image_fill_arrays(frame->data, frame->linesize, pixels.get(), AV_PIX_FMT_BGR24, width,
                             height, 1);
        frame->width = width;
        frame->height = height;
        frame->format = AV_PIX_FMT_BGR24;
    }
    // A fresh buffer costs a page fault at the first write of every page, which for a 1080p
    // picture is as long as decoding it. With nothing queued to show, this thread has the
    // time: paid here, beside the decoder when the room was asked for ahead (MakeRoomAhead),
    // not in the conversion of the first picture the host waits for. With pictures queued it
    // would hold them back; the conversion pays it then, on the video thread.
    if (pixels && nothingQueued) std::memset(pixels.get(), 0, size);
    lock.lock();
    // Asked again for another size meanwhile: that request brings this thread back.
    if (frame && pixels && vp.width == width && vp.height == height) {
        vp.requested = false;
        vp.frame = std::move(frame);
        vp.pixels = std::move(pixels);
        vp.allocated = true;
    }
    is->pictq_cond.notify_all();
}
