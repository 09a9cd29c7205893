// Clocks, picture timing and the delivery of pictures to the host.
#include <cmath>

#include "engine/CQFFmpegPlayer.h"
#include "engine/engine_source.h"

extern "C" {
#include <libavutil/time.h>
}

using engine::VideoPicture;
using engine::VideoState;

namespace {
double WallClock() {
    return av_gettime() / 1000000.0;
}
constexpr int kSyncAudio = 0;
constexpr int kSyncVideo = 1;
// The engine never registers its audio as a displayable stream, so audio never leads.
constexpr bool kAudioDisplayable = false;
constexpr double kNoSyncThreshold = 10.0;
constexpr double kSyncThresholdMin = 0.01;
}  // namespace

double CQFFmpegPlayer::get_video_clock(VideoState* is) {
    if (is->paused) return is->video_current_pts;
    return is->video_current_pts_drift + WallClock();
}

double CQFFmpegPlayer::get_audio_clock(VideoState* is) {
    if (is->paused) return is->audio_current_pts;
    return is->audio_current_pts_drift + WallClock();
}

double CQFFmpegPlayer::get_external_clock(VideoState* is) {
    return is->external_clock + (av_gettime() - is->external_clock_time) * 0.000001;
}

double CQFFmpegPlayer::get_master_clock(VideoState* is) {
    if (is->av_sync_type == kSyncVideo)
        return is->video_stream >= 0 ? get_video_clock(is) : get_audio_clock(is);
    if (is->av_sync_type == kSyncAudio)
        return kAudioDisplayable ? get_audio_clock(is) : get_video_clock(is);
    return get_external_clock(is);
}

void CQFFmpegPlayer::update_video_pts(VideoState* is, double pts, int64_t pos) {
    is->video_current_pts = pts;
    is->video_current_pts_drift = pts - WallClock();
    is->video_current_pos = pos;
    is->frame_last_pts = pts;
}

double CQFFmpegPlayer::compute_target_delay(double delay, VideoState* is) {
    if ((is->av_sync_type == kSyncAudio && kAudioDisplayable) || is->av_sync_type > kSyncVideo) {
        const double diff = get_video_clock(is) - get_master_clock(is);
        const double threshold = std::fmax(kSyncThresholdMin, delay);
        if (std::fabs(diff) < kNoSyncThreshold) {
            if (diff <= -threshold)
                delay = 0;
            else if (diff >= threshold)
                delay = 2 * delay;
        }
    }
    return delay;
}

void CQFFmpegPlayer::pictq_next_picture(VideoState* is) {
    std::lock_guard<std::mutex> lock(is->pictq_mutex);
    is->pictq_rindex = (is->pictq_rindex + 1) % engine::kPictureQueueSize;
    --is->pictq_size;
    is->pictq_cond.notify_all();
}

double CQFFmpegPlayer::video_refresh(VideoState* is) {
    constexpr double kIdle = 3600;  // nothing queued: the play thread waits for a picture
    if (!m_bHasVideoDecoder) return WallClock() + 0.005;
    for (;;) {
        double skipped = engine::kNoValue;
        {
            std::lock_guard<std::mutex> lock(is->pictq_mutex);
            if (is->pictq_size == 0) return WallClock() + kIdle;
            VideoPicture& vp = is->pictq[is->pictq_rindex];
            if (vp.skip) {
                skipped = vp.pts;
                is->pictq_rindex = (is->pictq_rindex + 1) % engine::kPictureQueueSize;
                --is->pictq_size;
                is->pictq_cond.notify_all();
            }
            if (!is->paused) {
                const double gap = vp.pts - is->frame_last_pts;
                if (gap > 0 && gap < kNoSyncThreshold) is->frame_last_duration = gap;
                const double delay = compute_target_delay(is->frame_last_duration, is);
                const double now = WallClock();
                if (now < is->frame_timer + delay) return is->frame_timer + delay;
                if (delay > 0)
                    is->frame_timer +=
                        delay * std::fmax(1.0, std::floor((now - is->frame_timer) / delay));
                update_video_pts(is, vp.pts, vp.pos);
            }
            if (skipped == engine::kNoValue && vp.hasRecord)
                is->last_shown_time = vp.record.frameTime;
        }
        if (skipped != engine::kNoValue) {
            // A skipped picture's record goes with it, or a later picture of the same time
            // would be reported with it.
            TakeFrameRecord(skipped);
            continue;
        }
        // Late pictures are not dropped: each is shown, as fast as the refresh events come.
        video_display(is);
        pictq_next_picture(is);
        return 0;  // the next one may be due already
    }
}

void CQFFmpegPlayer::video_display(VideoState* is) {
    if (m_bHasVideoDecoder) video_image_display(is);
}

void CQFFmpegPlayer::video_image_display(VideoState* is) {
    FrameInfo info{};
    double pts;
    bool hasRecord;
    engine::video_ext ext;
    {
        std::lock_guard<std::mutex> lock(is->pictq_mutex);
        const VideoPicture& vp = is->pictq[is->pictq_rindex];
        info.Width = vp.width;
        info.Height = vp.height;
        info.Pixels = vp.pixels.get();
        pts = vp.pts;
        hasRecord = vp.hasRecord;
        ext = vp.record;
    }
    // The record travels with the picture, so that the picture and the record the host gets
    // always belong together; the map entry of the same time only goes with it, keeping the
    // map to the pictures in flight, with or without a frame callback.
    TakeFrameRecord(pts, nullptr);
    if (!m_pFrameCallback) return;
    if (hasRecord) {
        info.FrameTime = ext.frameTime;
        info.Source = ext.source;
    } else {
        m_dPosition = pts;
    }
    info.LastFrameTime = m_pMyFile->GetLastFrameDateTime();
    CallFrame(m_nState, m_dPosition, &info);
}

bool CQFFmpegPlayer::TakeFrameRecord(double pts, engine::video_ext* out) {
    std::lock_guard<std::mutex> lock(m_csMap);
    // Records of equal times are kept in decoding order and taken in that order, so each
    // picture reports its own record: the main and the FOS stream often carry the very same
    // times, and a host must be told which camera every picture came from. Taken records are
    // dropped, so the map holds only the pictures in flight however long the recording plays.
    auto it = m_mapFrames.lower_bound(pts);
    if (it == m_mapFrames.end() || it->first != pts) return false;
    if (out != nullptr) *out = it->second;
    m_mapFrames.erase(it);
    return true;
}
