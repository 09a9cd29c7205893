// Stream source: a turn after the recorder has ended the feed goes on with a new request.
#include <cstring>

#include "platform/trace.h"
#include "source/CQMyFile.h"
#include "source/range_request.h"

void CQMyFile::LeaveReRequest(int64_t seekTime, bool forward) {
    // Asked from the seek time, a recorder sends the group holding it again, at its own
    // pace, only for it to be dropped here: the request starts beyond the last group held
    // instead, where the next group starts when the recording has no hole there.
    if (!m_listAhead.empty()) {
        CQMyFile_GOP& last = *m_listAhead.back();
        if (const frameheader1* edge = forward ? last.back() : last.front())
            seekTime = forward ? edge->frameTime + int64_t{edge->duration} * 10000
                               : edge->frameTime - 10000;
    }
    // A broken feed is not asked again: what broke it would come again.
    if (!m_bFeedOpen || m_bFeedBroken || !(m_bRecvEnd || m_bEnd)) return;
    const auto range = source::RangeOf(m_strURL);
    if (!range) return;  // a host's own URL: nothing known to ask for
    if (forward ? seekTime >= range->end : seekTime <= range->begin) return;
    char begin[32] = {}, end[32] = {};
    FrameTime2SystemTime(seekTime, forward ? begin : end);
    FrameTime2SystemTime(forward ? range->end : range->begin, forward ? end : begin);
    m_strReRequest =
        source::WithRange(m_strURL, begin, end, forward, m_Command.onlyKeyFrame, m_Command.noAudio);
    m_bReRequest = true;
}

void CQMyFile::ServeReRequest() {
    if (!m_bReRequest) return;
    std::string url;
    uint64_t turns;
    {
        std::lock_guard<platform::CriticalSection> lock(m_csFrame);
        url = m_strReRequest;
        turns = m_nTurns;
    }
    if (url.empty()) return;
    platform::TraceF("CQMyFile: the feed had ended, asked again from %s\r\n",
                     url.substr(url.find("BeginTime=")).c_str());
    // The old connection's receive thread has ended when Reopen opens the new one, so the
    // feed's parse state is this thread's to reset in between. Until then the request stays
    // marked, so that no reader takes the old feed's end for the end of playback.
    const bool opened = Reopen(url.c_str(), [this] {
        std::lock_guard<platform::CriticalSection> lock(m_csFrame);
        m_msRecv.Clear();
        m_msPayload.Clear();
        m_nParseState = 0;
        m_pCurrent.reset();
        m_listPending.clear();
        m_nLiveTaken = 0;
        m_nPendingBytes = 0;
        m_bRecvEnd = false;
        m_bEnd = false;
        m_nPlayDataState = PlayDataStates_Data;
        m_strReRequest.clear();
        m_bReRequest = false;
        std::lock_guard<platform::CriticalSection> cmdLock(m_csCommand);
        // The new request starts the recorder sending with the flags the URL names.
        m_SentCommand = m_Command;
        m_SentCommand.play = true;
    });
    if (!opened) return;  // the source is closing
    std::lock_guard<platform::CriticalSection> lock(m_csFrame);
    std::lock_guard<platform::CriticalSection> cmdLock(m_csCommand);
    // A turn made meanwhile sent its seek to the old connection, or to none: it goes to the new
    // one, carrying the latest direction. A hold of the flow control's goes out again too.
    if (m_nTurns != turns) m_Command.isSeek = true;
    // Flow control decides afresh for the new feed. Its last decision was made on the old
    // one, before the turn put other groups ahead; a hold left from then would pause the new
    // feed while nothing held here is readable in the new direction, and with nothing read
    // and nothing received no step of flow control would ever release it.
    if (!m_bOnFile && m_nMaxBuffer >= 1) m_Command.play = FlowControlPlays();
    SetCommand(m_Command);
    m_Command.isSeek = false;
}
