// The playback engine: a play thread with an event loop that presents each picture when it is
// due, a reader thread merging the main and the FOS stream source, a video thread and an SDL
// audio device.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "engine/ffmpeg_ptr.h"
#include "engine/picture_decoder.h"
#include "engine/reverse_groups.h"
#include "engine/video_state.h"
#include "platform/sync.h"
#include "varnel/varnel.h"

class CQMyFile;

namespace engine {
class EngineSource;
}

// Declared a struct, as the public header names it for C hosts.
struct CQFFmpegPlayer {
private:
    using VideoState = engine::VideoState;

public:
    CQFFmpegPlayer();
    // Stops a running engine first (waiting), so that no thread outlives the object.
    virtual ~CQFFmpegPlayer();
    CQFFmpegPlayer(const CQFFmpegPlayer&) = delete;
    CQFFmpegPlayer& operator=(const CQFFmpegPlayer&) = delete;

    virtual bool Stop(bool wait);
    virtual bool Play();
    virtual bool Pause();

    // Starts the engine on one or two locations (the second may be empty). From inside a
    // callback the open is carried out once the callback has returned and the running stream
    // has closed.
    bool Open(const char* first, const char* second);
    bool SetMyFilePos(int percent);
    void SetID(int id) { m_uID = id; }
    int GetState() const { return m_nState; }

    // Destroys the engine. From inside one of its callbacks the engine is stopped without
    // waiting and freed once the callback has returned: by the process's reaper thread, or,
    // when the callback runs inside a Stop on a host thread, when that Stop's exported call
    // returns (ReleaseDeferred). No callback comes after this call.
    static void Destroy(CQFFmpegPlayer* engine);
    // For the exported stop functions, after the stop has returned: frees the engine when a
    // callback inside that stop destroyed it. True when it did; the pointer is then gone.
    static bool ReleaseDeferred(CQFFmpegPlayer* engine);

    // VARNEL_REVERSE_GROUPS or VARNEL_REVERSE_SMOOTH; false (and nothing changes) for any
    // other value. Takes effect with the next picture decoded.
    bool SetReverseMode(int32_t mode);
    int32_t ReverseMode() const { return m_nReverseMode; }
    // Turns the direction of a running stream at the picture last shown: the next picture
    // shown is its neighbour in the new direction. False when there is no such picture (no
    // stream, or nothing shown yet); the caller then only tells the recorder.
    bool TurnInPlace(bool forward);

    // Frame records held for pictures in flight; bounded by kMaxFrameRecords.
    size_t FrameRecordsHeld();
    static constexpr size_t kMaxFrameRecords = 16;

protected:
    // Player settings taken from the host's record by the playback object.
    void SetCallbacks(varnel_frame_callback frame, varnel_end_callback end) {
        m_pFrameCallback = frame;
        m_pEndCallback = end;
    }
    void SetSpeedFactor(double factor) { m_dSpeed = factor; }
    static double SpeedFactor(int exponent);
    CQMyFile& MainSource();
    CQMyFile& FosSource();

    // True on this engine's own threads and inside its callbacks on any thread.
    bool InsideEngine() const;
    // For an open asked for from inside a callback: keeps it for later, stops the running
    // stream without waiting, and returns true. False elsewhere (the caller opens at once).
    bool DeferOpen(std::function<void()> open);
    // Stops a running engine (waiting) before an open replaces what its threads read; nothing
    // to do for an open that the play thread carries out itself.
    void StopForOpen();
    int32_t m_uID = -1;
    // Merge direction of the two sources: 1 takes the earlier frame first, 0 the later one.
    std::atomic<int> m_nOrientation{1};
    bool m_bTwoSources = false;

private:
    // ---- lifecycle (engine/CQFFmpegPlayer.cpp) ----
    void Thread_FFPlay();
    int ffmfc_play();
    VideoState* stream_open(const char* filename, const char* filename2);
    void event_loop(VideoState* is);
    void stream_toggle_pause(VideoState* is);
    // Has the play thread look at the picture queue again now.
    void KickRefresh();
    void ffmfc_quit();
    void do_exit(VideoState* is);
    void stream_close(VideoState* is);
    bool OnEngineThread() const;
    void MarkEngineThread() const;
    // Takes the open asked for from a callback, for the play thread (onHost false) or for the
    // host thread whose Stop raised that callback (onHost true).
    std::function<void()> TakePendingOpen(bool onHost);
    bool CallbacksWanted() const { return !m_bDestroyPending; }
    void CallFrame(int32_t state, double position, FrameInfo* info);

    // ---- reader (engine/reader.cpp) ----
    void read_thread(VideoState* is);
    int read_thread1(VideoState* is);
    // Reads both sources into the packet queues: true when they have ended, false when the
    // stream is closing.
    bool ReadPackets(VideoState* is);
    bool SourcesReady(VideoState* is);
    bool SourceFinished(engine::EngineSource& source);
    bool QueuesFull(VideoState* is);
    // Waits until at most that many video packets are queued (or the loop has something to do).
    void WaitForRoom(VideoState* is, int packets);
    void ForwardPause(VideoState* is);
    int TakeFrame(VideoState* is, frameheader1& rec, unsigned char*& data, bool& fromFos);
    engine::PacketPtr MakeFramePacket(const frameheader1& rec, const unsigned char* data,
                                      bool fromFos);
    void EndWait(VideoState* is);

    // ---- decoders and video thread (engine/video.cpp) ----
    int stream_component_open_video(VideoState* is, const char* name, int source = 0);
    int stream_component_open(VideoState* is, int stream, const char* name);
    void stream_component_close(VideoState* is, int stream);
    // Decodes the next packet of the queue and queues the pictures it gives: 1, 0 when there
    // was no packet and block is false, or -1 when the stream is closing.
    int get_video_frame(VideoState* is, AVFrame* frame, bool block = true);
    // Queues every picture the decoder gives out now; -1 when the stream is closing.
    int receive_pictures(VideoState* is, engine::PictureDecoder& decoder, AVFrame* frame);
    // Queues one decoded picture to be shown, its time taken from its pts.
    int show_picture(VideoState* is, engine::PictureDecoder& decoder, AVFrame* frame,
                     const engine::video_ext* record);
    // ---- smooth reverse (engine/reverse.cpp) ----
    bool SmoothReverse() const;
    engine::ReverseGroups& Reverse(int source) {
        return source == 1 ? m_reverseFos : m_reverseMain;
    }
    // Queues the pictures the reversed groups have ready: while there is room in the picture
    // queue, and beyond that (waiting) while the held pictures fill their bound; with all,
    // every one ready. -1 when the stream is closing.
    int EmitReversed(VideoState* is, bool all = false);
    // Every held picture handed out (reverse play ends, or the feed does); -1 when closing.
    int EmitAllReversed(VideoState* is);
    void ClearReversed();
    void CountReversed();
    // ---- turning in place (engine/turn.cpp) ----
    // Reader thread: carries out a turn the host asked for.
    void CarryOutTurn(VideoState* is);
    // Video thread: false for a picture on the near side of the place a turn keeps.
    bool PastTurn(VideoState* is, int64_t frameTime);
    // The same test without its effect, for pictures held from before the turn.
    bool NearSideOfTurn(VideoState* is, int64_t frameTime);
    void video_thread(VideoState* is);
    int queue_picture(VideoState* is, engine::PictureDecoder& decoder, AVFrame* src, double pts,
                      int64_t pos, const engine::video_ext* record);
    void alloc_picture(VideoState* is);
    void MakeRoomAhead(VideoState* is, engine::PictureDecoder& decoder, const AVPacket& keyFrame);

    // ---- clocks and presentation (engine/refresh.cpp) ----
    double get_video_clock(VideoState* is);
    double get_audio_clock(VideoState* is);
    double get_external_clock(VideoState* is);
    double get_master_clock(VideoState* is);
    void update_video_pts(VideoState* is, double pts, int64_t pos);
    double compute_target_delay(double delay, VideoState* is);
    // Presents the picture that is due, if any: the wall-clock time at which to look again.
    double video_refresh(VideoState* is);
    void pictq_next_picture(VideoState* is);
    void video_display(VideoState* is);
    void video_image_display(VideoState* is);
    bool TakeFrameRecord(double pts, engine::video_ext* out = nullptr);

    // ---- audio (engine/audio.cpp) ----
    int audio_open(const AVChannelLayout* wanted_layout, int wanted_nb_channels,
                   int wanted_sample_rate, engine::AudioParams* audio_hw_params, VideoState* is);
    static void sdl_audio_callback(void* opaque, uint8_t* stream, int len);
    void sdl_audio_callback1(VideoState* is, uint8_t* stream, int len);
    int audio_decode_frame(VideoState* is, double* pts);
    int synchronize_audio(VideoState* is, int nb_samples);
    void audio_component_close(VideoState* is);

    std::unique_ptr<engine::EngineSource> m_pMyFile;   // main source
    std::unique_ptr<engine::EngineSource> m_pMyFile2;  // FOS source
    int64_t m_nVideoTime = 0;                          // reader's video time accumulator, ms
    frameheader1 m_recMainPeek{};                      // reader: last header seen of each source
    frameheader1 m_recFosPeek{};

    platform::Event m_hPause{false, false};
    platform::Event m_hQuit{false, false};
    platform::Event m_hAlloc{false, false};
    platform::Event m_hRefresh{false, false};
    // Set by the play thread as it ends; a waiting Stop returns on it.
    platform::Event m_hStopDone{true, true};
    std::atomic<bool> m_bStopWaiting{false};

    std::unique_ptr<char[]> m_pLocation;  // 500 bytes
    static constexpr int kLocationSize = 500;

    // Options fixed at construction.
    const int m_nAvSyncType = 0;  // audio master

    // Frame records of queued pictures by presentation time (video thread writes, play
    // thread reads).
    std::multimap<double, engine::video_ext> m_mapFrames;
    // Records of the access units inside a decoder, by packet time: a decoder that holds a
    // picture back gives it out later, with its own packet's time, while another packet is
    // being fed. Used by the video thread only.
    std::map<int64_t, engine::video_ext> m_mapInDecoder;
    std::mutex m_csMap;

    // The current stream. The play thread owns it; host calls look at it under m_csState.
    std::mutex m_csState;
    std::condition_variable m_cvState;
    VideoState* m_pVideoState = nullptr;
    std::unique_ptr<VideoState> m_pStateOwner;
    bool m_bOpening = false;  // between Open and the play thread's stream open
    // An open asked for from inside a callback, and whose thread carries it out.
    std::function<void()> m_pendingOpen;
    bool m_bPendingOnHost = false;
    // The play thread is carrying out a pending open: Open then restarts the play thread's
    // loop instead of starting a thread.
    std::atomic<bool> m_bRunningDeferred{false};
    bool m_bRestart = false;  // play thread
    // Destroy was called from inside a callback: no more callbacks, and freed later.
    std::atomic<bool> m_bDestroyPending{false};
    std::atomic<int> exit_remark{0};
    std::atomic<bool> m_bInExit{false};  // do_exit is running (its callback may call Stop)

    // Video decoders (the reader thread opens the first, then the video thread owns them),
    // each with its converter to BGR24. The FOS source has a decoder of its own: two
    // recordings interleaved into one decoder would have one camera's pictures decoded
    // against the other's reference pictures.
    static engine::PictureDecoder::Options VideoDecoderOptions();
    engine::PictureDecoder& VideoDecoder(int source) {
        return source == 1 ? m_VideoDecoderFos : m_VideoDecoder;
    }
    engine::PictureDecoder m_VideoDecoder{VideoDecoderOptions()};
    engine::PictureDecoder m_VideoDecoderFos{VideoDecoderOptions()};
    std::atomic<bool> m_bHasVideoDecoder{false};
    // The video thread's, for smooth reverse, one a source.
    engine::ReverseGroups m_reverseMain{VideoDecoderOptions()};
    engine::ReverseGroups m_reverseFos{VideoDecoderOptions()};
    std::atomic<int> m_nReverseMode{VARNEL_REVERSE_GROUPS};
    // Pictures the reversed groups hold, for the end of playback to wait for.
    std::atomic<size_t> m_nReverseHeld{0};
    engine::CodecContextPtr m_pCodectx_Audio;
    const AVRational m_tbVideo{1, 1000};
    const AVRational m_tbAudio{1, 1000};

    varnel_frame_callback m_pFrameCallback = nullptr;
    varnel_end_callback m_pEndCallback = nullptr;
    std::atomic<int> m_nState{VARNEL_STATE_CLOSED};
    std::string m_strFirst;
    std::string m_strSecond;
    std::atomic<double> m_dSpeed{1.0};
    double m_dPosition = 0.0;  // play thread
    // Current stream for the audio device callback.
    std::atomic<VideoState*> m_pAudioState{nullptr};

    platform::Thread m_playThread;
    bool m_bSdlAudio = false;
};
