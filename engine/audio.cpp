// Audio: the SDL device of this engine, the µ-law decoder driven by the device callback, and
// the conversion to the device's format.
#include <SDL.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/CQFFmpegPlayer.h"
#include "platform/trace.h"

extern "C" {
#include <libavutil/time.h>
}

using engine::PacketPtr;
using engine::VideoState;

namespace {
constexpr int kSamplesPerCallback = 1024;
constexpr int kBytesPerSample = 2;  // signed 16-bit
constexpr int kSyncAudio = 0;
constexpr int kSyncVideo = 1;
constexpr double kNoSyncThreshold = 10.0;
constexpr int kAudioDiffAvgNb = 20;
constexpr int kSampleCorrectionPercentMax = 10;

void Both(const char* text) {
    platform::OutputDebugStringA(text);
    std::fputs(text, stderr);
}

}  // namespace

int CQFFmpegPlayer::audio_open(const AVChannelLayout* wanted_layout, int wanted_nb_channels,
                               int wanted_sample_rate, engine::AudioParams* audio_hw_params,
                               VideoState* is) {
    static const int next_nb_channels[] = {0, 0, 1, 6, 2, 6, 4, 6};
    AVChannelLayout layout{};
    av_channel_layout_copy(&layout, wanted_layout);
    if (const char* env = SDL_getenv("SDL_AUDIO_CHANNELS")) {
        wanted_nb_channels = std::atoi(env);
        av_channel_layout_uninit(&layout);
        av_channel_layout_default(&layout, wanted_nb_channels);
    }
    if (layout.order != AV_CHANNEL_ORDER_NATIVE || layout.nb_channels != wanted_nb_channels) {
        av_channel_layout_uninit(&layout);
        av_channel_layout_default(&layout, wanted_nb_channels);
    }
    wanted_nb_channels = layout.nb_channels;
    if (wanted_sample_rate <= 0 || wanted_nb_channels <= 0) {
        Both("Invalid sample rate or channel count!\n");
        av_channel_layout_uninit(&layout);
        return -1;
    }
    SDL_AudioSpec wanted{};
    SDL_AudioSpec spec{};
    wanted.freq = wanted_sample_rate;
    wanted.channels = static_cast<Uint8>(wanted_nb_channels);
    wanted.format = AUDIO_S16SYS;
    wanted.silence = 0;
    wanted.samples = kSamplesPerCallback;
    wanted.callback = sdl_audio_callback;
    wanted.userdata = this;
    // A device of its own per engine: several engines in one process play at once.
    SDL_AudioDeviceID device;
    while ((device = SDL_OpenAudioDevice(
                nullptr, 0, &wanted, &spec,
                SDL_AUDIO_ALLOW_FREQUENCY_CHANGE | SDL_AUDIO_ALLOW_CHANNELS_CHANGE)) == 0) {
        platform::OutputDebugStringA("while (SDL_OpenAudio(&wanted_spec, &spec) < 0) \n");
        std::fprintf(stderr, "SDL_OpenAudio (%d channels): %s\n", wanted.channels, SDL_GetError());
        wanted.channels = static_cast<Uint8>(next_nb_channels[std::min(7, int{wanted.channels})]);
        if (wanted.channels == 0) {
            Both("No more channel combinations to try, audio open failed\n");
            av_channel_layout_uninit(&layout);
            return -1;
        }
        av_channel_layout_uninit(&layout);
        av_channel_layout_default(&layout, wanted.channels);
    }
    if (spec.format != AUDIO_S16SYS) {
        platform::OutputDebugStringA("if (spec.format != AUDIO_S16SYS)");
        std::fprintf(stderr, "SDL advised audio format %d is not supported!\n", spec.format);
        SDL_CloseAudioDevice(device);
        av_channel_layout_uninit(&layout);
        return -1;
    }
    if (spec.channels != wanted.channels) {
        av_channel_layout_uninit(&layout);
        av_channel_layout_default(&layout, spec.channels);
        if (layout.order != AV_CHANNEL_ORDER_NATIVE) {
            std::fprintf(stderr, "SDL advised channel count %d is not supported!\n", spec.channels);
            SDL_CloseAudioDevice(device);
            av_channel_layout_uninit(&layout);
            return -1;
        }
    }
    audio_hw_params->fmt = AV_SAMPLE_FMT_S16;
    audio_hw_params->freq = spec.freq;
    av_channel_layout_uninit(&audio_hw_params->layout);
    audio_hw_params->layout = layout;  // takes over the layout
    audio_hw_params->channels = spec.channels;
    is->audio_device = device;
    return static_cast<int>(spec.size);
}

void CQFFmpegPlayer::audio_component_close(VideoState* is) {
    is->audioq.Abort();
    if (is->audio_device != 0) SDL_CloseAudioDevice(is->audio_device);  // waits for the callback
    is->audio_device = 0;
    m_pAudioState = nullptr;
    is->audioq.Flush();
    is->audio_pkt.reset();
    is->audio_pkt_pending = false;
    is->swr_ctx.reset();
    is->audio_buf1.reset();
    is->audio_buf = nullptr;
    is->audio_frame.reset();
    m_pCodectx_Audio.reset();
    is->audio_stream = -1;
}

void CQFFmpegPlayer::sdl_audio_callback(void* opaque, uint8_t* stream, int len) {
    auto* self = static_cast<CQFFmpegPlayer*>(opaque);
    VideoState* is = self->m_pAudioState;
    if (is == nullptr) {
        std::memset(stream, 0, len);
        return;
    }
    self->sdl_audio_callback1(is, stream, len);
}

void CQFFmpegPlayer::sdl_audio_callback1(VideoState* is, uint8_t* stream, int len) {
    const int64_t callbackTime = av_gettime();
    // While paused the device gets zeros only; what is left of the current block plays on
    // when the stream resumes.
    if (is->paused) {
        std::memset(stream, 0, len);
        return;
    }
    const int frameSize = std::max(1, is->audio_tgt.channels * kBytesPerSample);
    while (len > 0) {
        if (is->audio_buf_index >= is->audio_buf_size) {
            double pts = 0;
            const int size = audio_decode_frame(is, &pts);
            is->audio_drained = size < 0 && !is->paused;
            if (size < 0) {
                is->audio_buf = is->silence_buf;
                is->audio_buf_size = sizeof is->silence_buf / frameSize * frameSize;
            } else {
                is->audio_buf_size = size;
            }
            is->audio_buf_index = 0;
        }
        const int len1 = std::min<int>(is->audio_buf_size - is->audio_buf_index, len);
        std::memcpy(stream, is->audio_buf + is->audio_buf_index, len1);
        len -= len1;
        stream += len1;
        is->audio_buf_index += len1;
    }
    const int bytesPerSec = is->audio_tgt.freq * frameSize;
    const unsigned unread = is->audio_buf_size - is->audio_buf_index;
    if (bytesPerSec > 0) {
        const double current =
            is->audio_clock - static_cast<double>(2 * is->audio_hw_buf_size + unread) / bytesPerSec;
        is->audio_current_pts = current;
        is->audio_current_pts_drift = current - callbackTime / 1000000.0;
    }
}

int CQFFmpegPlayer::synchronize_audio(VideoState* is, int nb_samples) {
    int wanted = nb_samples;
    if ((is->av_sync_type == kSyncVideo && is->video_stream >= 0) ||
        is->av_sync_type > kSyncVideo) {
        const double diff = get_audio_clock(is) - get_master_clock(is);
        if (std::fabs(diff) < kNoSyncThreshold) {
            is->audio_diff_cum = diff + is->audio_diff_avg_coef * is->audio_diff_cum;
            if (is->audio_diff_avg_count < kAudioDiffAvgNb) {
                ++is->audio_diff_avg_count;
            } else {
                const double avg = is->audio_diff_cum * (1.0 - is->audio_diff_avg_coef);
                if (std::fabs(avg) >= is->audio_diff_threshold) {
                    wanted = nb_samples + static_cast<int>(diff * is->audio_src.freq);
                    const int lo = nb_samples * (100 - kSampleCorrectionPercentMax) / 100;
                    const int hi = nb_samples * (100 + kSampleCorrectionPercentMax) / 100;
                    wanted = std::clamp(wanted, lo, hi);
                }
            }
        } else {
            is->audio_diff_avg_count = 0;
            is->audio_diff_cum = 0;
        }
    }
    (void)kSyncAudio;
    return wanted;
}

int CQFFmpegPlayer::audio_decode_frame(VideoState* is, double* pts) {
    AVCodecContext* dec = m_pCodectx_Audio.get();
    if (dec == nullptr) return -1;
    if (!is->audio_frame) is->audio_frame = engine::MakeFrame();
    AVFrame* frame = is->audio_frame.get();
    if (frame == nullptr) return -1;
    for (;;) {
        while (is->audio_pkt_pending) {
            if (is->paused) return -1;
            if (avcodec_receive_frame(dec, frame) < 0) {
                is->audio_pkt_pending = false;  // the packet is used up
                break;
            }
            const int wanted = synchronize_audio(is, frame->nb_samples);
            const AVSampleFormat format = static_cast<AVSampleFormat>(frame->format);
            if (format != is->audio_src.fmt ||
                av_channel_layout_compare(&frame->ch_layout, &is->audio_src.layout) != 0 ||
                frame->sample_rate != is->audio_src.freq ||
                (wanted != frame->nb_samples && !is->swr_ctx)) {
                is->swr_ctx.reset();
                SwrContext* swr = nullptr;
                if (swr_alloc_set_opts2(&swr, &is->audio_tgt.layout, is->audio_tgt.fmt,
                                        is->audio_tgt.freq, &frame->ch_layout, format,
                                        frame->sample_rate, 0, nullptr) < 0 ||
                    swr_init(swr) < 0) {
                    std::fprintf(stderr,
                                 "Cannot create sample rate converter for conversion of %d Hz "
                                 "%s %d channels to %d Hz %s %d channels!\n",
                                 frame->sample_rate, av_get_sample_fmt_name(format),
                                 frame->ch_layout.nb_channels, is->audio_tgt.freq,
                                 av_get_sample_fmt_name(is->audio_tgt.fmt), is->audio_tgt.channels);
                    swr_free(&swr);
                    is->audio_pkt_pending = false;
                    break;
                }
                is->swr_ctx.reset(swr);
                is->audio_src.fmt = format;
                is->audio_src.freq = frame->sample_rate;
                is->audio_src.channels = frame->ch_layout.nb_channels;
                av_channel_layout_uninit(&is->audio_src.layout);
                av_channel_layout_copy(&is->audio_src.layout, &frame->ch_layout);
            }
            int size;
            if (is->swr_ctx) {
                SwrContext* swr = is->swr_ctx.get();
                if (wanted != frame->nb_samples &&
                    swr_set_compensation(
                        swr, (wanted - frame->nb_samples) * is->audio_tgt.freq / frame->sample_rate,
                        wanted * is->audio_tgt.freq / frame->sample_rate) < 0) {
                    std::fputs("swr_set_compensation() failed\n", stderr);
                    continue;
                }
                if (!is->audio_buf1)
                    is->audio_buf1.reset(
                        static_cast<uint8_t*>(av_malloc(engine::kAudioBufferSize)));
                if (!is->audio_buf1) return -1;
                const int outCount =
                    engine::kAudioBufferSize / (is->audio_tgt.channels * kBytesPerSample);
                uint8_t* out = is->audio_buf1.get();
                const int len2 = swr_convert(swr, &out, outCount,
                                             const_cast<const uint8_t**>(frame->extended_data),
                                             frame->nb_samples);
                if (len2 < 0) {
                    std::fputs("swr_convert() failed\n", stderr);
                    continue;
                }
                if (len2 == outCount) {
                    std::fputs("warning: audio buffer is probably too small\n", stderr);
                    swr_init(swr);
                }
                is->audio_buf = is->audio_buf1.get();
                size = len2 * is->audio_tgt.channels * kBytesPerSample;
            } else {
                is->audio_buf = frame->data[0];
                size = av_samples_get_buffer_size(nullptr, frame->ch_layout.nb_channels,
                                                  frame->nb_samples, format, 1);
            }
            const int dataSize = av_samples_get_buffer_size(nullptr, frame->ch_layout.nb_channels,
                                                            frame->nb_samples, format, 1);
            *pts = is->audio_clock;
            const int bytesPerSample = av_get_bytes_per_sample(format);
            if (dec->sample_rate > 0 && bytesPerSample > 0)
                is->audio_clock +=
                    static_cast<double>(dataSize) /
                    (frame->ch_layout.nb_channels * dec->sample_rate * bytesPerSample);
            return size;
        }
        is->audio_pkt.reset();
        if (is->paused || is->audioq.Aborted()) return -1;
        // The device callback does not wait for the network: with nothing queued the device
        // gets silence and keeps its pace.
        PacketPtr pkt;
        if (is->audioq.Get(pkt, false) <= 0) return -1;
        if (engine::IsFlushPacket(pkt.get())) {
            avcodec_flush_buffers(dec);
            continue;
        }
        if (pkt->pts != AV_NOPTS_VALUE) is->audio_clock = pkt->pts / 1000.0;
        if (avcodec_send_packet(dec, pkt.get()) < 0) continue;
        is->audio_pkt = std::move(pkt);
        is->audio_pkt_pending = true;
    }
}
