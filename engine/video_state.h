// Per-stream state of the engine: lives from the play thread's stream open to stream_close.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "engine/ffmpeg_ptr.h"
#include "engine/packet_queue.h"
#include "platform/sync.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
}

namespace engine {

// The 40-byte frame record carried by every video packet as side data of type 1 and kept for
// the presentation of its picture.
struct video_ext {
    int64_t zero;
    int64_t frameTime;  // recorder time, 100 ns units
    char codec[8];      // NUL-terminated
    uint8_t source;     // 0 main source, 1 FOS source
    uint8_t zero2[7];
    double speed;  // speed factor when the frame was read
};
static_assert(sizeof(video_ext) == 40 && offsetof(video_ext, source) == 24 &&
              offsetof(video_ext, speed) == 32);

// The marker for "no value" of the clocks.
constexpr double kNoValue = static_cast<double>(INT64_MIN);

struct VideoPicture {
    double pts = 0;
    int64_t pos = 0;
    bool skip = false;
    int width = 0;
    int height = 0;
    AVRational sar{0, 1};
    bool allocated = false;
    bool reallocate = false;
    bool requested = false;  // the play thread was asked to allocate width x height
    bool hasRecord = false;
    video_ext record{};  // the frame record of the access unit this picture was decoded from
    FramePtr frame;      // describes the converted picture
    AvBufferPtr pixels;  // 24-bit BGR, width * height * 3 bytes
};

struct AudioParams {
    int freq = 0;
    int channels = 0;
    AVChannelLayout layout{};
    AVSampleFormat fmt = AV_SAMPLE_FMT_NONE;
    AudioParams() = default;
    AudioParams(const AudioParams&) = delete;
    AudioParams& operator=(const AudioParams&) = delete;
    ~AudioParams() { av_channel_layout_uninit(&layout); }
};

inline void CopyAudioParams(AudioParams& to, const AudioParams& from) {
    to.freq = from.freq;
    to.channels = from.channels;
    to.fmt = from.fmt;
    av_channel_layout_uninit(&to.layout);
    av_channel_layout_copy(&to.layout, &from.layout);
}

constexpr int kPictureQueueSize = 4;
// The video thread waits while this many pictures are queued.
constexpr int kPicturesQueuedMax = 2;
constexpr int kAudioBufferSize = 768000;
// The reader keeps up to kVideoAhead packets in front of the decoder and, once it has that
// many, sleeps until the decoder has taken them down to kVideoRefillAt: one wake-up for
// several packets rather than one for each.
constexpr int kVideoAhead = 12;
constexpr int kVideoRefillAt = 5;

struct VideoState {
    platform::Thread read_tid;
    platform::Thread video_tid;
    int64_t frames_taken = 0;         // by the reader, since the open
    platform::Thread audio_open_tid;  // the reader's: opens the sound output beside it
    std::atomic<bool> abort_request{false};
    std::atomic<bool> paused{false};
    bool last_paused = false;  // reader thread only

    PacketQueue audioq;
    PacketQueue subtitleq;
    PacketQueue videoq;

    // Picture queue: the mutex also guards the allocation flags and the video clock values.
    VideoPicture pictq[kPictureQueueSize];
    int pictq_size = 0;
    int pictq_rindex = 0;
    int pictq_windex = 0;
    std::mutex pictq_mutex;
    std::condition_variable pictq_cond;

    // The reader waits here (under its own mutex) for room in the queues; WakeReader.
    std::mutex continue_read_mutex;
    std::condition_variable continue_read_thread;

    char filename[1024] = {};
    char filename2[1024] = {};
    int id = -1;
    int av_sync_type = 0;  // audio master

    std::atomic<int> video_stream{-1};
    std::atomic<int> audio_stream{-1};
    int subtitle_stream = -1;
    // Set while the video thread holds a packet it has not turned into a queued picture yet.
    std::atomic<bool> video_busy{false};

    // Turning the direction in place (engine/turn.cpp). The frame time of the last picture
    // shown (under pictq_mutex), -1 before the first.
    int64_t last_shown_time = -1;
    // A turn asked for by the host, for the reader: 1 forward, 0 rewind, -1 none.
    std::atomic<int> turn_request{-1};
    std::atomic<int64_t> turn_time{0};
    // From a turn until its flush reaches the video thread: pictures decoded meanwhile belong
    // to the old order and are dropped, so that none of them passes the place for the new one.
    std::atomic<bool> turn_flush_pending{false};
    // Until the place is passed, pictures on the near side of it are not shown: 0 off, 1 going
    // forward from resume_time, 2 going back from it within the group starting at resume_group.
    std::atomic<int> resume_dir{0};
    std::atomic<int64_t> resume_time{0};
    std::atomic<int64_t> resume_group{INT64_MIN};

    // Presentation clocks (play thread, under pictq_mutex where shared).
    double frame_timer = 0;
    double frame_last_pts = 0;
    double frame_last_duration = 0;
    double video_current_pts = 0;
    double video_current_pts_drift = 0;
    int64_t video_current_pos = 0;
    double video_clock = 0;  // running clock of the decoder side (video thread)
    double external_clock = 0;
    int64_t external_clock_time = 0;

    // Audio (the device callback's thread, after audio open).
    uint32_t audio_device = 0;
    // Set by the device callback when it had nothing left to play (not paused).
    std::atomic<bool> audio_drained{false};
    double audio_clock = 0;
    double audio_diff_cum = 0;
    double audio_diff_avg_coef = 0;
    double audio_diff_threshold = 0;
    int audio_diff_avg_count = 0;
    int audio_hw_buf_size = 0;
    PacketPtr audio_pkt;
    bool audio_pkt_pending = false;  // audio_pkt sent, frames may still come out
    FramePtr audio_frame;
    const uint8_t* audio_buf = nullptr;
    unsigned int audio_buf_size = 0;
    unsigned int audio_buf_index = 0;
    uint8_t silence_buf[1024] = {};
    SwrPtr swr_ctx;
    AvBufferPtr audio_buf1;  // resampler output, kAudioBufferSize bytes
    AudioParams audio_src;
    AudioParams audio_tgt;
    std::atomic<double> audio_current_pts{0};
    std::atomic<double> audio_current_pts_drift{0};
};

// Wakes the reader for a change it waits for (room, a pause, a turn, the close). The mutex
// is taken so that a reader between its test and its wait does not miss the wake-up.
inline void WakeReader(VideoState* is) {
    { std::lock_guard<std::mutex> lock(is->continue_read_mutex); }
    is->continue_read_thread.notify_one();
}

}  // namespace engine
