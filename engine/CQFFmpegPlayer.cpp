// Engine lifecycle: construction, the play thread and its event loop (which times the
// pictures), pause, stop and exit.
#include "engine/CQFFmpegPlayer.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <utility>

#include "engine/engine_source.h"
#include "foundation/callback_scope.h"
#include "foundation/reaper.h"
#include "platform/sdl_runtime.h"
#include "platform/trace.h"

extern "C" {
#include <libavutil/time.h>
}

using engine::VideoState;
using platform::OutputDebugStringA;

namespace {
// A bound on the play thread's sleep: every change of what is due wakes it at once, so this
// is a safety net only.
constexpr double kLongestWait = 0.1;
// The engine whose thread this is, so that a host calling back into the engine from one of
// its callbacks is not made to wait for itself.
thread_local const CQFFmpegPlayer* t_engine = nullptr;
// Marks the engine whose callback runs on this (host) thread, inside a Stop that runs do_exit
// here.
using CallbackScope = foundation::CallbackScope<CQFFmpegPlayer>;
// An engine destroyed from such a callback: the exported stop frees it once the stop returns.
thread_local CQFFmpegPlayer* t_destroyAfterStop = nullptr;
}  // namespace

CQFFmpegPlayer::CQFFmpegPlayer()
    : m_pMyFile(std::make_unique<engine::EngineSource>()),
      m_pMyFile2(std::make_unique<engine::EngineSource>()),
      m_pLocation(std::make_unique<char[]>(kLocationSize)) {
    OutputDebugStringA("CQFFmpegPlayer::CQFFmpegPlayer(void)\r\n");
    // Codecs register themselves in this FFmpeg, and its decoders do their own locking, so
    // neither registration nor a lock manager is needed.
    m_bSdlAudio = platform::SdlAcquire();
}

CQFFmpegPlayer::~CQFFmpegPlayer() {
    // Destroying a running engine would leave its threads on freed memory: stop it first.
    if (m_playThread.Running()) Stop(true);
    m_playThread.Join();
    m_pMyFile.reset();
    m_pMyFile2.reset();
    platform::SdlRelease();
}

double CQFFmpegPlayer::SpeedFactor(int exponent) {
    return exponent == 2 ? 4.0 : std::pow(2.0, exponent);
}

CQMyFile& CQFFmpegPlayer::MainSource() {
    return *m_pMyFile;
}
CQMyFile& CQFFmpegPlayer::FosSource() {
    return *m_pMyFile2;
}

bool CQFFmpegPlayer::OnEngineThread() const {
    return t_engine == this;
}
bool CQFFmpegPlayer::InsideEngine() const {
    return t_engine == this || CallbackScope::Inside(this);
}

void CQFFmpegPlayer::CallFrame(int32_t state, double position, FrameInfo* info) {
    if (!m_pFrameCallback || !CallbacksWanted()) return;
    const CallbackScope scope(this);
    m_pFrameCallback(0, state, position, info);
}

size_t CQFFmpegPlayer::FrameRecordsHeld() {
    std::lock_guard<std::mutex> lock(m_csMap);
    return m_mapFrames.size();
}

bool CQFFmpegPlayer::DeferOpen(std::function<void()> open) {
    if (!InsideEngine() || m_bRunningDeferred) return false;
    {
        std::lock_guard<std::mutex> lock(m_csState);
        if (m_bDestroyPending) return true;  // nothing more happens to a destroyed engine
        m_pendingOpen = std::move(open);
        m_bPendingOnHost = !OnEngineThread();
    }
    // Re-opening from the end callback to play again is a common pattern: the running stream
    // is asked to stop here, and its play thread (or the Stop this callback runs inside)
    // carries out the open when the callback has returned and the stream has closed.
    Stop(false);
    return true;
}

std::function<void()> CQFFmpegPlayer::TakePendingOpen(bool onHost) {
    std::lock_guard<std::mutex> lock(m_csState);
    if (!m_pendingOpen || m_bPendingOnHost != onHost || m_bDestroyPending) return nullptr;
    // Marked as opening under the same lock, so that a host Stop either finds the open gone
    // or waits for its stream and stops that one.
    m_bOpening = true;
    return std::exchange(m_pendingOpen, nullptr);
}

void CQFFmpegPlayer::StopForOpen() {
    if (m_bRunningDeferred) return;
    // Opening a running engine is not part of the calling order; stopping it first keeps its
    // threads from running on the settings and state that the new stream replaces.
    if (m_playThread.Running() && !OnEngineThread()) {
        Stop(true);
        m_playThread.Join();
    }
}

void CQFFmpegPlayer::Destroy(CQFFmpegPlayer* engine) {
    if (engine == nullptr) return;
    if (!engine->InsideEngine()) {
        delete engine;
        return;
    }
    // A callback cannot free the object whose thread it runs on: the engine is stopped and
    // freed once the callback has returned. On one of the engine's threads the reaper does
    // it, joining the engine's threads first; inside a Stop on a host thread, the exported
    // stop does it when that Stop returns.
    {
        std::lock_guard<std::mutex> lock(engine->m_csState);
        engine->m_pendingOpen = nullptr;
        engine->m_bDestroyPending = true;
    }
    engine->Stop(false);
    if (engine->OnEngineThread())
        foundation::ReleaseLater([engine] { delete engine; });
    else
        t_destroyAfterStop = engine;
}

bool CQFFmpegPlayer::ReleaseDeferred(CQFFmpegPlayer* engine) {
    if (engine == nullptr || t_destroyAfterStop != engine) return false;
    t_destroyAfterStop = nullptr;
    delete engine;
    return true;
}
void CQFFmpegPlayer::MarkEngineThread() const {
    t_engine = this;
}

bool CQFFmpegPlayer::Open(const char* first, const char* second) {
    const std::string a = first ? first : "", b = second ? second : "";
    if (DeferOpen([this, a, b] { Open(a.c_str(), b.c_str()); })) return true;
    StopForOpen();
    m_hStopDone.Reset();
    m_strFirst = first ? first : "";
    m_strSecond = second ? second : "";
    m_nState = VARNEL_STATE_OPENED;
    // Signals left over from the previous stream must not reach this one.
    m_hQuit.Reset();
    m_hAlloc.Reset();
    m_hRefresh.Reset();
    m_hPause.Reset();
    exit_remark = 0;
    {
        std::lock_guard<std::mutex> lock(m_csState);
        m_bOpening = true;
    }
    if (m_bRunningDeferred) {
        m_bRestart = true;  // the play thread itself goes on with this stream
        return true;
    }
    try {
        m_playThread.Start([this] { Thread_FFPlay(); });
    } catch (const std::system_error&) {
        std::lock_guard<std::mutex> lock(m_csState);
        m_bOpening = false;
        m_hStopDone.Set();
        m_cvState.notify_all();
    }
    return true;
}

bool CQFFmpegPlayer::Play() {
    // The state first: the play thread reports it as soon as it takes the toggle.
    m_nState = VARNEL_STATE_PLAYING;
    m_hPause.Set();
    return true;
}

bool CQFFmpegPlayer::Pause() {
    int playing = VARNEL_STATE_PLAYING;
    if (m_nState.compare_exchange_strong(playing, VARNEL_STATE_PAUSED)) m_hPause.Set();
    return true;
}

bool CQFFmpegPlayer::SetMyFilePos(int percent) {
    m_pMyFile->SetPos(percent);
    m_pMyFile2->SetPos(percent);
    return true;
}

void CQFFmpegPlayer::Thread_FFPlay() {
    t_engine = this;
    for (;;) {
        ffmfc_play();
        // An open asked for from a callback of the stream that has just closed.
        std::function<void()> open = TakePendingOpen(false);
        if (!open) break;
        m_bRestart = false;
        m_bRunningDeferred = true;
        open();
        m_bRunningDeferred = false;
        if (m_bRestart) continue;
        std::lock_guard<std::mutex> lock(m_csState);
        m_bOpening = false;
        m_cvState.notify_all();
        break;
    }
    m_hStopDone.Set();
}

int CQFFmpegPlayer::ffmfc_play() {
    OutputDebugStringA("ffmfc_play exit_remark = 0;\r\n");
    exit_remark = 0;
    std::memset(m_pLocation.get(), 0, kLocationSize);
    std::strncpy(m_pLocation.get(), m_strFirst.c_str(), kLocationSize - 1);
    VideoState* is =
        stream_open(m_pLocation.get(), m_strSecond.empty() ? nullptr : m_strSecond.c_str());
    if (is == nullptr) {
        OutputDebugStringA("Failed to initialize VideoState!\r\n");
        std::fprintf(stderr, "Fail: Failed to initialize VideoState!\n");
        {
            std::lock_guard<std::mutex> lock(m_csState);
            m_bOpening = false;
            m_cvState.notify_all();
        }
        do_exit(nullptr);
        return -1;
    }
    m_nState = VARNEL_STATE_PLAYING;
    {
        std::lock_guard<std::mutex> lock(m_csState);
        m_pVideoState = is;
        m_bOpening = false;
        m_cvState.notify_all();
    }
    event_loop(is);
    return 0;
}

VideoState* CQFFmpegPlayer::stream_open(const char* filename, const char* filename2) {
    auto state = std::make_unique<VideoState>();
    VideoState* is = state.get();
    is->av_sync_type = m_nAvSyncType;
    std::strncpy(is->filename, filename, sizeof is->filename - 1);
    if (filename2 != nullptr) std::strncpy(is->filename2, filename2, sizeof is->filename2 - 1);
    is->id = m_uID;
    m_pStateOwner = std::move(state);
    try {
        is->read_tid.Start([this, is] { read_thread(is); });
    } catch (const std::system_error&) {
        m_pStateOwner.reset();
        return nullptr;
    }
    return is;
}

void CQFFmpegPlayer::event_loop(VideoState* is) {
    // Wait order is priority order: a pause toggle goes before a refresh, and so on.
    platform::Event* events[] = {&m_hPause, &m_hRefresh, &m_hAlloc, &m_hQuit};
    // The play thread times the pictures itself: it sleeps until the next one is due, or
    // until an event changes what is due (m_hRefresh: a picture queued into an empty queue,
    // pictures dropped, a turn). A separate ticker thread cost two thread wake-ups more per
    // picture for the same decision. Paused, nothing is due.
    using Clock = std::chrono::steady_clock;
    double due = 0;  // wall-clock seconds of the next look at the picture queue
    while (exit_remark != 1 && is != nullptr && !is->abort_request) {
        Clock::time_point deadline = Clock::time_point::max();
        if (!is->paused) {
            const double wait = std::min(due - av_gettime() / 1000000.0, kLongestWait);
            deadline = Clock::now() +
                       std::chrono::microseconds(static_cast<int64_t>(std::max(wait, 0.0) * 1e6));
        }
        const uint32_t r = platform::WaitForMultipleObjects(4, events, false, deadline);
        if (r == platform::WAIT_TIMEOUT) {
            due = video_refresh(is);
            continue;
        }
        switch (r - platform::WAIT_OBJECT_0) {
            case 0:
                stream_toggle_pause(is);
                CallFrame(m_nState, m_dPosition, nullptr);
                due = 0;
                break;
            case 1:
                due = 0;
                break;
            case 2:
                alloc_picture(is);
                break;
            case 3:
                do_exit(is);
                is = nullptr;
                break;
            default:
                break;
        }
    }
    if (exit_remark == 1) OutputDebugStringA("event_loop if (exit_remark == 1)\r\n");
}

void CQFFmpegPlayer::stream_toggle_pause(VideoState* is) {
    std::unique_lock<std::mutex> lock(is->pictq_mutex);
    if (is->paused && is->frame_last_pts == engine::kNoValue) {
        // Nothing shown since the open or the last flush: the video clock was never set, and
        // moving the frame timer by it would put the timer a whole epoch ahead, so that no
        // picture would ever be due again. The next picture is simply due now.
        is->frame_timer = av_gettime() / 1000000.0;
    } else if (is->paused) {
        const double now = av_gettime() / 1000000.0;
        is->frame_timer += now + is->video_current_pts_drift - is->video_current_pts;
        is->video_current_pts = is->video_current_pts_drift + now;
        is->video_current_pts_drift = is->video_current_pts - now;
    }
    is->paused = !is->paused;
    lock.unlock();
    engine::WakeReader(is);  // it tells the sources
}

void CQFFmpegPlayer::KickRefresh() {
    m_hRefresh.Set();
}

bool CQFFmpegPlayer::Stop(bool wait) {
    // A callback cannot wait for the thread it runs on: from inside the engine every stop is
    // one that does not wait.
    const bool inside = InsideEngine();
    if (inside) wait = false;
    bool haveStream;
    {
        std::unique_lock<std::mutex> lock(m_csState);
        // A host's own stop overrides an open that a callback asked for.
        if (!inside) m_pendingOpen = nullptr;
        // Between Open and the play thread's stream open a stop would miss the stream that is
        // about to start; that short moment is waited out.
        m_cvState.wait(lock, [this] { return !m_bOpening; });
        haveStream = m_pVideoState != nullptr;
    }
    if (!wait) {
        ffmfc_quit();
        // A callback raised by this stop on this thread may have asked to open again.
        if (!inside) {
            if (std::function<void()> open = TakePendingOpen(true)) {
                {
                    std::lock_guard<std::mutex> lock(m_csState);
                    m_bOpening = false;
                }
                open();
            }
        }
        return true;
    }
    if (haveStream) {
        m_bStopWaiting = true;
        ffmfc_quit();
    }
    // Also when the stream has just ended by itself: the play thread is finishing and is
    // joined here, so that no thread is left once a waiting stop returns.
    if (m_playThread.Running()) {
        platform::WaitForSingleObject(m_hStopDone, platform::INFINITE);
        m_playThread.Join();
    }
    m_bStopWaiting = false;
    return true;
}

void CQFFmpegPlayer::ffmfc_quit() {
    OutputDebugStringA("ffmfc_quit 1\r\n");
    bool haveStream;
    {
        std::lock_guard<std::mutex> lock(m_csState);
        haveStream = m_pVideoState != nullptr;
    }
    if (!haveStream) {
        OutputDebugStringA("ffmfc_quit 4\r\n");
        do_exit(nullptr);
        OutputDebugStringA("ffmfc_quit 5\r\n");
    } else {
        OutputDebugStringA("ffmfc_quit 2\r\n");
        m_hQuit.Set();
        OutputDebugStringA("ffmfc_quit 3\r\n");
    }
    OutputDebugStringA("ffmfc_quit 6\r\n");
}

void CQFFmpegPlayer::do_exit(VideoState* is) {
    // The state-4 callback may call Stop again, which lands here once more: the second entry
    // has nothing left to do.
    if (m_bInExit.exchange(true)) return;
    OutputDebugStringA("do_exit 1\r\n");
    OutputDebugStringA("do_exit exit_remark = 1;\r\n");
    exit_remark = 1;
    if (is != nullptr) {
        stream_close(is);
        std::lock_guard<std::mutex> lock(m_csState);
        m_pVideoState = nullptr;
        m_pStateOwner.reset();
    }
    OutputDebugStringA("do_exit 2\r\n");
    m_nState = VARNEL_STATE_CLOSED;
    OutputDebugStringA("do_exit 3\r\n");
    if (!m_bStopWaiting && m_pFrameCallback && CallbacksWanted()) {
        OutputDebugStringA("do_exit 4\r\n");
        CallFrame(VARNEL_STATE_CLOSED, 0.0, nullptr);
        OutputDebugStringA("do_exit 5\r\n");
    }
    {
        std::lock_guard<std::mutex> lock(m_csMap);
        platform::TraceF("frame records held: %d\r\n", static_cast<int>(m_mapFrames.size()));
        m_mapFrames.clear();
    }
    OutputDebugStringA("do_exit 6\r\n");
    m_bInExit = false;
}

void CQFFmpegPlayer::stream_close(VideoState* is) {
    is->abort_request = true;
    engine::WakeReader(is);
    // The reader may be blocked opening a source (connecting, or waiting for a recorder that
    // never answers): interrupted, that open returns at once.
    m_pMyFile->Interrupt();
    m_pMyFile2->Interrupt();
    OutputDebugStringA("stream_close SDL_WaitThread(is->read_tid, NULL);\r\n");
    is->read_tid.Join();
    OutputDebugStringA("stream_close SDL_WaitThread(is->read_tid, NULL); --\r\n");
    // The reader has closed both sources; closed once more here, they forget an interruption
    // that came after that, so the next stream can open them.
    m_pMyFile->Close();
    m_pMyFile2->Close();
    is->videoq.Flush();
    is->audioq.Flush();
    is->subtitleq.Flush();
    for (engine::VideoPicture& vp : is->pictq) {
        vp.pixels.reset();
        vp.frame.reset();
        vp.allocated = false;
        vp.requested = false;
    }
}
