// The media element: one recorder request covering several channels, played in step. A
// reader thread queues each channel's access units, decoder threads turn them into BGR24
// pictures per channel, and the 1 ms media clock presents every channel's pictures by their
// times through the host's callback.
//
// Threads and what they own: the reader thread (element/reader.cpp) feeds m_mapPacket; the
// decoder thread and its helpers (element/decoder.cpp) own the channels' decoders and feed
// m_mapPicture; the clock's thread (element/presentation.cpp) owns the presentation records
// (m_mapClock, m_mapState, the timeline) and empties m_mapPicture. Host calls
// (element/CQMediaElement.cpp) change the control state under one lock and the threads read
// it on every pass. Closed is a latch: nothing but a new Open leaves it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "element/CQMediaClock.h"
#include "element/element_source.h"
#include "element/pixel_pool.h"
#include "element/timeline.h"
#include "engine/picture_decoder.h"
#include "engine/reverse_groups.h"
#include "foundation/ffmpeg_ptr.h"
#include "platform/sync.h"
#include "platform/wintime.h"
#include "source/CQMyFile.h"
#include "varnel/varnel.h"

namespace element {

// Presentation record of one channel (clock thread, under the picture lock).
struct channelclock {
    int64_t lastFrameTime = -1;  // of the last picture presented, -1 none
    int32_t lastDuration = 0;    // its duration, ms
    int32_t gapOffset = 0;       // ms the timeline jumped before the channel's next picture
};

// After a re-seek: the pictures up to the one shown last in a channel are passed over, so that the
// next one shown is its neighbour (under the picture lock).
struct resumefilter {
    int32_t direction = -1;  // 1 forward, 0 back, -1 none
    int64_t place = 0;       // frame time of the picture shown last
};

// One channel's decoding: the shared picture decoder (video context, decoder, scaler,
// target, codec name and size) plus the audio slots this engine never fills.
struct ffmpegdata {
    engine::PictureDecoder video{{1, AV_CODEC_FLAG2_FAST}};
    // Smooth reverse: the pictures of each group, decoded forward, queued latest first.
    engine::ReverseGroups reverse{
        {1, AV_CODEC_FLAG2_FAST}, engine::ReverseGroups::kBytesMax, false};
    ffmpeg::CodecContextPtr audio;  // not created by this engine
    ffmpeg::SwrPtr resampler;       // see audio_swr_resampling_audio_init
    // Records of the access units inside the decoder, by pts: a picture reports the record
    // of the access unit it was decoded from, also when the decoder gives it out later.
    struct Unit {
        int64_t frameTime;
        int32_t duration;
    };
    std::map<int64_t, Unit> inDecoder;
    // The buffer generation whose references the decoder holds (see ClearBuffer).
    uint64_t generation = 0;
};

// The 40 bytes of side data every video packet carries from the reader to the decoder.
struct packet_ext {
    int32_t channel;
    int32_t zero;
    int64_t frameTime;
    char codec[16];  // NUL-terminated
    int64_t zero2;
};
static_assert(sizeof(packet_ext) == 40 && offsetof(packet_ext, codec) == 16);

// Frees a picture; its pixels go back to the pool they came from, if any.
struct PictureFree {
    PixelPool* pool = nullptr;
    void operator()(pictureframe* picture) const;
};
using PicturePtr = std::unique_ptr<pictureframe, PictureFree>;

// How busy a channel is, readable without the queue locks (updated under them).
struct ChannelLoad {
    std::atomic<int> packets{0};
    std::atomic<int64_t> bytes{0};  // of the packets
    std::atomic<int> pictures{0};
    // Pictures of a group read backward wait to be queued (the picture queue was full).
    std::atomic<bool> reversed{false};
    // A group read backward is being collected: the end of the input completes it, so the
    // channel is decoded once more when the input ends after its last access unit.
    bool collecting = false;  // under m_mtxPacket
    bool decoding = false;    // a decoder thread has taken the channel (under m_mtxPacket)
};

}  // namespace element

// Declared a struct, as the public header names it for C hosts.
struct CQMediaElement {
public:
    using Speeds = MediaElementSpeeds;

    CQMediaElement();
    // Closes an element still open.
    virtual ~CQMediaElement();
    CQMediaElement(const CQMediaElement&) = delete;
    CQMediaElement& operator=(const CQMediaElement&) = delete;

    // False (and nothing done) for a null record, and from inside the element's callback.
    bool Open(const MediaElementStreamSetting* setting);
    bool Close();
    bool Play();
    bool Pause();
    bool Forward(Speeds speed);
    bool Rewind(Speeds speed);
    bool FrameStep_Forward();
    bool FrameStep_Rewind();
    // time as the source's on-file index reads it (see CQMyFile::Seek).
    bool Seek(const platform::SYSTEMTIME& time);
    bool SetPos(int32_t percent);
    // VARNEL_REVERSE_GROUPS or VARNEL_REVERSE_SMOOTH; false for another value.
    bool SetReverseMode(int32_t mode);

    // Frees an element, or, from inside its callback on the clock thread, has it freed as soon
    // as the callback returns.
    static void Destroy(CQMediaElement* element);

    // Bounds of the pipeline, per channel: access units waiting for the decoder (by count
    // and by bytes) and decoded pictures waiting for their time.
    static constexpr int kPacketQueueLimit = 50;
    static constexpr int64_t kPacketBytesLimit = 16 << 20;
    // While a frame step waits for a channel with nothing queued, the others' queues may hold
    // this many times as much.
    static constexpr int kStepReadFactor = 4;
    // Six pictures are 240 ms at 25 fps, far beyond what a decoder falls behind by; each one
    // more costs 2.6 MiB a channel at 720p (40 MiB at 16 channels).
    static constexpr int kPictureQueueLimit = 6;
    // Pictures every channel that has any holds before the timeline starts; the same while
    // key frames only are read, where each of them stands for a whole group.
    static constexpr int kClockStart = 4;
    static constexpr int kClockStartKeyFrames = 2;
    // Speed exponents beyond these are taken as these (1/32 to 32 times).
    static constexpr int kSlowest = -5;
    static constexpr int kFastest = 5;

protected:
    bool ClearBuffer();
    bool OpenMyFileURL(const MediaElementStreamSetting* setting, CQMyFile& source, std::string& url,
                       bool fos);
    bool CheckVideoCodec(const char* name, element::ffmpegdata* data);
    bool CheckScale(int32_t width, int32_t height, element::ffmpegdata* data);
    bool ReadMyFile();
    bool DecodeVideo();
    int32_t UpdateClock(int32_t clockMs);
    bool audio_swr_resampling_audio_init(SwrContext** swr, AVCodecContext* context,
                                         int32_t outLayout, int32_t outRate,
                                         AVSampleFormat outFormat);
    static void bmp_save(AVFrame* frame, int32_t width, int32_t height, const char* path);

private:
    // ---- lifecycle and control (element/CQMediaElement.cpp) ----
    bool Active() const;  // state 2 or 3: the threads go on
    // Latches the closed state: no later call but Open leaves it. False when it was set.
    bool LatchClosed();
    void FinishClose();  // under m_mtxClose
    void SetVolume(bool mute);
    void WakeThreads();
    // Under m_mtxControl: the direction and reading mode wanted, with the re-seek a change
    // of them needs.
    void SetReading(bool forward, bool keyFrames);
    // Pauses (only when playing, if asked) and reports it through the callback, outside the
    // control lock; true when paused afterwards (and not closed).
    bool EnterPause(bool onlyFromPlaying);

    // ---- reader (element/reader.cpp) ----
    bool PacketQueueFull();
    ffmpeg::PacketPtr MakeVideoPacket(const frameheader1& rec, const unsigned char* data,
                                      bool keyOnly);

    // ---- decoders (element/decoder.cpp) ----
    void DecodeWorker();
    std::optional<int32_t> TakeChannel(int32_t after);
    void DecodeChannel(int32_t channel, AVFrame* frame);
    void DecodePacket(int32_t channel, element::ffmpegdata& data, ffmpeg::PacketPtr packet,
                      uint64_t generation, AVFrame* frame);
    // Converts a decoded picture into the channel's picture queue (unless a re-seek cleared
    // the queues meanwhile, or a turn passes it over).
    void QueuePicture(int32_t channel, element::ffmpegdata& data, const AVFrame& frame,
                      int64_t frameTime, int32_t duration, uint64_t generation);
    // True for a picture at or after the place of a turn back (which the channel has shown).
    bool BeyondTurn(int32_t channel, int64_t frameTime);
    // Queues what the channel's reversed groups have ready, as far as the picture queue has
    // room: the rest waits as decoded, a third of the size of a converted picture.
    void QueueReversed(int32_t channel, element::ffmpegdata& data, uint64_t generation);
    // Every picture backward: rewind with every frame read, in smooth reverse mode.
    bool SmoothBackward() const { return m_nOrientation == 0 && !m_bOnlyKeyFrame; }

    // ---- presentation (element/presentation.cpp) ----
    void ServeReseek(int32_t clockMs);
    // Close and Destroy from inside the callback, carried out once the tick's work is done.
    void FinishCloseFromCallback();
    // Goes on from the pictures each channel showed last (or the place the timeline has
    // reached), in the direction of play: false when there is no such place.
    bool ResumeFromShown(bool turn, int32_t clockMs);
    // A frame step that turns: every channel shows the picture it showed before the one on
    // screen, its neighbour in the new direction. False when a channel has none.
    bool StepFromHistory();
    void KeepStepPending();
    // The earliest front picture of all channels in the direction given (the latest going
    // back), -1 when no channel has one. Under m_mtxPicture.
    int64_t EarliestFront(bool forward);
    // The start rule: true once the timeline has been started.
    bool StartTimeline(int32_t clockMs);
    // A channel has no access unit waiting for its decoder, nor one being decoded.
    bool ChannelDrained(int32_t channel);
    // Pictures queued and access units received or being decoded, of one channel.
    int Held(int32_t channel, size_t pictures);
    void Step(int32_t clockMs);
    void Present(int32_t clockMs);
    void ReportWaiting(int32_t clockMs);
    void JumpHole(int32_t clockMs);
    void Show(int32_t channel, int32_t clockMs);
    void Deliver(pictureframe* picture, channelstate* state);

    int64_t m_llBaseTime = -1;  // reader thread, reset under both locks
    // The source's latest indexed frame time, as the reader saw it last (-1 none).
    std::atomic<int64_t> m_llLastFrameTime{-1};
    std::atomic<int32_t> m_nSetPos{-1};
    // A pending seek by time (file mode), written under m_mtxControl.
    std::atomic<bool> m_bSeekTime{false};
    platform::SYSTEMTIME m_seekTime{};
    std::atomic<int32_t> m_nOrientation{1};
    std::atomic<int32_t> m_nReseek{0};
    // The source has ended and the reader has taken all it can give (reset by ClearBuffer):
    // the queues will not fill any further, so what is in them is played.
    std::atomic<bool> m_bInputEnded{false};
    std::atomic<bool> m_bOnlyKeyFrame{false};
    std::atomic<bool> m_bFrameStep{false};
    std::atomic<int32_t> m_nSpeed{0};
    std::atomic<int32_t> m_nReverseMode{VARNEL_REVERSE_GROUPS};
    std::atomic<bool> m_bTurn{false};                      // the next re-seek turns in place
    std::map<int32_t, element::resumefilter> m_mapResume;  // under m_mtxPicture
    // Every picture backward: the frame time the pts count back from, set by a turn or by the
    // first picture queued (under m_mtxPicture; -1 unset, reset by ClearBuffer).
    int64_t m_llReverseBase = -1;
    CQMediaClock m_Clock;
    uint16_t m_wSavedVolume = 0;
    bool m_bMute = false;
    void* m_hWaveOut = nullptr;  // never opened by this engine
    MediaElementStreamSetting m_Setting{};
    std::vector<int32_t> m_vChannels;  // the channel list of m_Setting, owned here

    // Before the queues: their pictures give their buffers back to it as they go.
    element::PixelPool m_pool;
    std::map<int32_t, std::deque<ffmpeg::PacketPtr>> m_mapPacket;
    std::mutex m_mtxPacket;
    std::map<int32_t, element::channelclock> m_mapClock;
    std::map<int32_t, std::deque<element::PicturePtr>> m_mapPicture;
    // In smooth reverse mode, each channel's picture on screen and the one shown before it
    // (clock thread, under m_mtxPicture): a turn that comes with a frame step shows the one
    // before at once, while the pictures beyond it are decoded.
    std::map<int32_t, element::PicturePtr> m_mapOnScreen;
    std::map<int32_t, element::PicturePtr> m_mapBefore;
    std::map<int32_t, std::unique_ptr<element::ffmpegdata>> m_mapCodec;
    std::map<int32_t, channelstate> m_mapState;
    std::atomic<int32_t> m_nState{0};
    platform::Thread m_thRead;
    platform::Thread m_thDecode;
    std::mutex m_mtxPicture;
    element::ElementSource m_MyFile;

    // The media timeline and what the clock thread keeps beside it (under m_mtxPicture).
    element::Timeline m_timeline;
    uint64_t m_nTimelineGeneration = 0;  // the buffer generation the timeline was started on
    int64_t m_llWaitSince = -1;          // clock ms since the start rule waits on empty channels
    int64_t m_llLatestShown = -1;        // frame time of the picture shown last, any channel
    int32_t m_nLatestDuration = 0;       // and its duration, ms

    // Queue fill levels per channel, so that the threads can look without the locks.
    std::map<int32_t, element::ChannelLoad> m_mapLoad;
    // Raised by ClearBuffer under both locks: work on packets of an older generation is
    // dropped, and a decoder holding older references is flushed.
    uint64_t m_nGeneration = 0;
    // Wakes the decoder threads (work or an end) and the reader (room), under m_mtxPacket.
    std::condition_variable m_cvDecode;
    std::condition_variable m_cvRoom;
    // Held by the reader from its look at a pending re-seek until the frame it took is
    // queued, and by the re-seek while it moves the source and clears the queues: a frame
    // taken from the new place is never dropped as one of the old.
    std::mutex m_mtxRead;
    // Ticks a frame step waits for every channel to have a picture before it is taken with
    // the channels that have one (a channel whose recording has ended never gets another).
    static constexpr int kStepWaitTicks = 1000;
    int m_nStepWait = kStepWaitTicks;  // ticks still to wait (clock thread)

    // Host calls change the control state under this lock; the threads read its atomics.
    std::mutex m_mtxControl;
    // Close and Destroy from inside the callback: done on the clock thread after the tick.
    std::atomic<bool> m_bCloseDeferred{false};
    std::atomic<bool> m_bDestroyDeferred{false};
    std::mutex m_mtxClose;  // one close or open sequence at a time
};
