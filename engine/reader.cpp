// The reader thread: opens both stream sources, starts the decoders, merges the sources'
// frames by frame time into the packet queues and reports the end of playback.
#include <algorithm>
#include <cstring>

#include "engine/CQFFmpegPlayer.h"
#include "engine/engine_source.h"
#include "platform/trace.h"
#include "platform/wintime.h"

using engine::PacketPtr;
using engine::VideoState;

namespace {
constexpr int kMaxQueueSize = 15 * 1024 * 1024;  // 0xF00000
constexpr int kMinFrames = 5;
constexpr int kReadyMs = 2000;
constexpr int kAudioTailMs = 3000;
}  // namespace

void CQFFmpegPlayer::read_thread(VideoState* is) {
    MarkEngineThread();
    read_thread1(is);
    if (SourceFinished(*m_pMyFile) && SourceFinished(*m_pMyFile2) && !is->abort_request) {
        bool empty;
        {
            std::lock_guard<std::mutex> lock(is->pictq_mutex);
            empty = is->pictq_size == 0;
        }
        if (empty) {
            if (m_pEndCallback && CallbacksWanted())
                m_pEndCallback(0, m_pMyFile->GetPlayDataState(), 0);
            platform::Sleep(100);
            m_hQuit.Set();
        }
    }
}

bool CQFFmpegPlayer::SourceFinished(engine::EngineSource& source) {
    // A source that has seen its end mark reports its end at once, with groups still on disk
    // waiting to be read; those last seconds of the recording are played before the source
    // counts as finished.
    return source.IsEnd() && !source.FrameWaiting();
}

bool CQFFmpegPlayer::QueuesFull(VideoState* is) {
    if (is->audioq.Size() + is->videoq.Size() + is->subtitleq.Size() > kMaxQueueSize) return true;
    const auto full = [](const engine::PacketQueue& q, int stream, int most) {
        return q.Count() > most || stream < 0 || q.Aborted();
    };
    return full(is->audioq, is->audio_stream, kMinFrames) &&
           full(is->videoq, is->video_stream, engine::kVideoAhead) &&
           full(is->subtitleq, is->subtitle_stream, kMinFrames);
}

void CQFFmpegPlayer::WaitForRoom(VideoState* is, int packets) {
    // Until the decoder has taken the packets down to that many, or something the loop must act
    // on happens; each of those wakes this thread (WakeReader). The bound is a safety net only.
    std::unique_lock<std::mutex> lock(is->continue_read_mutex);
    is->continue_read_thread.wait_for(lock, std::chrono::milliseconds(100), [is, packets] {
        return is->abort_request || is->paused != is->last_paused || is->turn_request != -1 ||
               is->videoq.Count() <= packets;
    });
}

void CQFFmpegPlayer::ForwardPause(VideoState* is) {
    const bool paused = is->paused;
    if (paused == is->last_paused) return;
    is->last_paused = paused;
    // The FOS source hears of it first, so that the two recorders stop (and go on) together
    // as far as the main stream is concerned.
    if (paused) {
        m_pMyFile2->SetPause();
        m_pMyFile->SetPause();
    } else {
        m_pMyFile2->SetPlay();
        m_pMyFile->SetPlay();
    }
}

bool CQFFmpegPlayer::SourcesReady(VideoState* is) {
    const int buffered = static_cast<int>(m_pMyFile->GetDuration() * m_dSpeed.load());
    if (buffered > kReadyMs || m_pMyFile->IsRecvEnd() || m_pMyFile2->IsRecvEnd()) return true;
    // Playback must not stall. Flow control holds the recorder as soon as one finished group
    // waits, so a recorder that sends in real time with groups shorter than the 2000 ms above
    // (4000 ms at half speed) never lets the buffer reach it, and the picture would freeze
    // with no error. What is buffered while flow control holds a recorder is all that will
    // come until it is read, so a source whose flow control holds its recorder (the host not
    // having paused) makes the sources ready; so does a main source that has ended, whose
    // FOS partner would otherwise wait for a buffer that can no longer grow.
    if (is->paused || is->last_paused) return false;
    // Deliberately no waiting for a buffer in front of the first picture: a recorder sending
    // at the pace of the recording would hold it back by the whole buffer. Reading starts with
    // the first frame received, the group still arriving included.
    return m_pMyFile->FlowControlHolding() || m_pMyFile2->FlowControlHolding() ||
           SourceFinished(*m_pMyFile) || m_pMyFile->FrameWaiting();
}

int CQFFmpegPlayer::TakeFrame(VideoState* is, frameheader1& rec, unsigned char*& data,
                              bool& fromFos) {
    (void)is;
    // A source counts as ended once it has reported its end and nothing of it waits unread.
    const bool mainEnded = SourceFinished(*m_pMyFile);
    const bool fosEnded = SourceFinished(*m_pMyFile2);
    engine::EngineSource* chosen = nullptr;
    if (!mainEnded && !fosEnded) {
        // A source with nothing buffered leaves its previous header in place.
        m_pMyFile->GetNextFrameHeader(&m_recMainPeek);
        m_pMyFile2->GetNextFrameHeader(&m_recFosPeek);
        const int64_t tMain = m_recMainPeek.frameTime;
        const int64_t tFos = m_recFosPeek.frameTime;
        const int direction = m_nOrientation;
        if (direction == 1)
            chosen = tMain < tFos ? m_pMyFile.get() : m_pMyFile2.get();
        else if (direction == 0)
            chosen = tMain > tFos ? m_pMyFile.get() : m_pMyFile2.get();
    } else if (!mainEnded) {
        chosen = m_pMyFile.get();
    } else if (!fosEnded) {
        chosen = m_pMyFile2.get();
    } else {
        platform::OutputDebugStringA("");
    }
    if (chosen == nullptr) return 0;
    std::memset(&rec, 0, sizeof rec);
    data = nullptr;
    chosen->GetNextFrame(&rec, data, MediaElementOrientations_Forward);
    fromFos = chosen == m_pMyFile2.get();
    return (rec.kind == 1 || rec.kind == 2) && rec.length > 0 && data != nullptr ? 1 : 0;
}

PacketPtr CQFFmpegPlayer::MakeFramePacket(const frameheader1& rec, const unsigned char* data,
                                          bool fromFos) {
    PacketPtr pkt = engine::MakePacket();
    if (!pkt || av_new_packet(pkt.get(), rec.length) < 0) return nullptr;
    std::memcpy(pkt->data, data, rec.length);
    if (rec.kind == 1) {
        m_nVideoTime += rec.duration;
        pkt->pts = pkt->dts = m_nVideoTime;
    } else {
        pkt->pts = pkt->dts = rec.audioTime;
    }
    pkt->duration = rec.duration;
    pkt->stream_index = rec.kind;
    if (rec.keyFrame == 1) pkt->flags |= AV_PKT_FLAG_KEY;
    if (rec.kind == 1) {
        uint8_t* side = av_packet_new_side_data(pkt.get(), AV_PKT_DATA_NEW_EXTRADATA,
                                                sizeof(engine::video_ext));
        if (side != nullptr) {
            engine::video_ext ext{};
            ext.frameTime = rec.frameTime;
            std::memcpy(ext.codec, rec.codec, sizeof ext.codec - 1);  // keeps the last NUL
            ext.source = fromFos ? 1 : 0;
            ext.speed = m_dSpeed;
            std::memcpy(side, &ext, sizeof ext);
        }
    }
    return pkt;
}

void CQFFmpegPlayer::EndWait(VideoState* is) {
    // Packets still in front of the decoder, or one being decoded, are pictures to come: the
    // end waits for them too, so that the last pictures are not cut off by the end.
    while (!is->abort_request) {
        platform::Sleep(100);
        if (is->turn_request != -1) return;  // playback goes on in the other direction
        bool empty;
        {
            std::lock_guard<std::mutex> lock(is->pictq_mutex);
            empty = is->pictq_size == 0;
        }
        if (empty && (is->videoq.Count() == 0 || is->videoq.Aborted()) && !is->video_busy &&
            m_nReverseHeld == 0)
            break;
    }
    // Up to normal speed the sound keeps pace with the pictures, and its last blocks are still
    // queued when the last picture has gone: they are played out before the end (bounded, in
    // case the device has stopped taking samples). Faster, the sound lags behind the pictures
    // and ends with them.
    if (is->audio_stream < 0 || m_dSpeed > 1.0) return;
    is->audio_drained = false;
    for (int waited = 0; waited < kAudioTailMs && !is->abort_request; waited += 20) {
        if (is->audioq.Count() == 0 && is->audio_drained) break;
        platform::Sleep(20);
    }
}

bool CQFFmpegPlayer::ReadPackets(VideoState* is) {
    frameheader1 rec;
    bool leave = false;
    while (!is->abort_request && !leave) {
        CarryOutTurn(is);
        ForwardPause(is);
        if (QueuesFull(is)) {
            // Full by bytes, a few very large pictures may be all there is: then the decoder
            // taking one of them is the room.
            WaitForRoom(is, std::min(engine::kVideoRefillAt, is->videoq.Count() - 1));
            continue;
        }
        bool take = false;
        for (;;) {
            if (is->abort_request) break;
            if (SourceFinished(*m_pMyFile) && SourceFinished(*m_pMyFile2)) break;
            if (is->paused != is->last_paused) break;  // forward it before reading on
            if (is->turn_request != -1) break;         // carry it out before reading on
            const bool ready = SourcesReady(is);
            if (!ready) {
                // Before the first frame the wait is for the recorder's answer, which the
                // first picture waits for too: looked at more often then.
                platform::Sleep(is->frames_taken == 0 ? 1 : 10);
            } else if (is->videoq.Count() <= engine::kVideoAhead) {
                take = true;
                break;
            } else {
                WaitForRoom(is, engine::kVideoRefillAt);
            }
        }
        PacketPtr pkt;
        if (take) {
            unsigned char* data = nullptr;
            bool fromFos = false;
            if (TakeFrame(is, rec, data, fromFos) == 1) {
                pkt = MakeFramePacket(rec, data, fromFos);
                ++is->frames_taken;
            } else
                platform::Sleep(is->frames_taken == 0 ? 1 : 5);  // nothing yet: no busy loop
        }
        // The end: both sources finished and nothing left to read. A frame taken in this pass
        // is still delivered; only then does the loop end.
        if (SourceFinished(*m_pMyFile) && SourceFinished(*m_pMyFile2)) leave = true;
        if (pkt) {
            if (pkt->stream_index == 2) is->audio_open_tid.Join();  // known open or not
            if (pkt->stream_index == 2 && is->audio_stream == 2)
                is->audioq.Put(std::move(pkt));
            else if (pkt->stream_index == 1 && is->video_stream == 1)
                is->videoq.Put(std::move(pkt));
        }
    }
    return leave;
}

int CQFFmpegPlayer::read_thread1(VideoState* is) {
    is->video_stream = -1;
    is->audio_stream = -1;
    is->subtitle_stream = -1;
    std::memset(&m_recMainPeek, 0, sizeof m_recMainPeek);
    std::memset(&m_recFosPeek, 0, sizeof m_recFosPeek);

    const int limit = static_cast<int>(m_dSpeed.load() * 5000);
    m_pMyFile->SetMaxBuffer(limit, 30000);
    m_pMyFile->OpenURL(is->filename, false);
    m_pMyFile2->OpenURL("", true);
    if (m_bTwoSources && is->filename2[0] != '\0') {
        m_pMyFile2->SetMaxBuffer(limit, 30000);
        m_pMyFile2->OpenURL(is->filename2, true);
    }

    if (!is->abort_request) {
        // Deliberately the pictures first and the sound output beside them: opening an audio
        // device takes from a few to tens of milliseconds (a sound server, a missing card
        // tried), which used to come before the first frame was read. Sound packets wait for
        // the open (ReadPackets), so none is lost to it.
        stream_component_open_video(is, "h264");
        is->video_stream = 1;
        is->videoq.Start();
        is->video_tid.Start([this, is] { video_thread(is); });
        is->audio_open_tid.Start([this, is] { stream_component_open(is, 2, "ulaw"); });
    }

    // The end waits for the last pictures; a turn made meanwhile plays back through the groups
    // held here, and reading goes on.
    while (ReadPackets(is)) {
        // Pictures the decoder still holds (for reordering or its frame threads) are the
        // last of the recording: they are drained out before the end.
        if (is->video_stream == 1) is->videoq.Put(engine::MakeDrainPacket());
        EndWait(is);
        if (is->turn_request == -1 || is->abort_request) break;
    }

    is->audio_open_tid.Join();
    if (is->audio_stream >= 0) stream_component_close(is, 2);
    if (is->video_stream >= 0) stream_component_close(is, 1);
    m_pMyFile->Close();
    m_pMyFile2->Close();
    return 0;
}
