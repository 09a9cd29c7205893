// Turning the direction of play in place: the pictures on their way are dropped, both
// sources put their groups in the new order from the group of the picture last shown, and
// the pictures up to that one are passed over, so that the next one shown is its neighbour.
#include <climits>
#include <cstring>

#include "engine/CQFFmpegPlayer.h"
#include "engine/engine_source.h"

using engine::VideoState;

bool CQFFmpegPlayer::TurnInPlace(bool forward) {
    std::lock_guard<std::mutex> state(m_csState);
    VideoState* is = m_pVideoState;
    if (is == nullptr) return false;
    {
        std::lock_guard<std::mutex> lock(is->pictq_mutex);
        if (is->last_shown_time == -1) return false;
        // Nothing queued is shown any more: the picture shown last is the place. Only the
        // queued slots: the video thread fills the next one outside the lock.
        for (int i = 0; i < is->pictq_size; ++i)
            is->pictq[(is->pictq_rindex + i) % engine::kPictureQueueSize].skip = true;
        is->resume_time = is->last_shown_time;
        is->resume_group = INT64_MIN;
        is->resume_dir = forward ? 1 : 2;
        is->turn_time = is->last_shown_time;
        is->turn_flush_pending = true;
        is->turn_request = forward ? 1 : 0;
    }
    m_nOrientation = forward ? 1 : 0;
    engine::WakeReader(is);
    KickRefresh();
    return true;
}

void CQFFmpegPlayer::CarryOutTurn(VideoState* is) {
    const int turn = is->turn_request.exchange(-1);
    if (turn == -1) return;
    const auto orientation =
        turn == 1 ? MediaElementOrientations_Forward : MediaElementOrientations_Rewind;
    // Here, between two packets, so that no packet read from the old order follows the flush.
    const int64_t group = m_pMyFile->TurnAt(is->turn_time, orientation);
    if (m_bTwoSources) m_pMyFile2->TurnAt(is->turn_time, orientation);
    // After the recorder has ended the feed, the rest of the range comes on a new request.
    m_pMyFile->ServeReRequest();
    if (m_bTwoSources) m_pMyFile2->ServeReRequest();
    is->resume_group = group;
    std::memset(&m_recMainPeek, 0, sizeof m_recMainPeek);
    std::memset(&m_recFosPeek, 0, sizeof m_recFosPeek);
    is->audioq.Flush();
    is->videoq.Flush();
    is->videoq.Put(engine::MakeFlushPacket());
}

bool CQFFmpegPlayer::NearSideOfTurn(VideoState* is, int64_t frameTime) {
    const int dir = is->resume_dir;
    return (dir == 1 && frameTime <= is->resume_time) || (dir == 2 && frameTime >= is->resume_time);
}

bool CQFFmpegPlayer::PastTurn(VideoState* is, int64_t frameTime) {
    const int dir = is->resume_dir;
    if (dir == 0) return true;
    const int64_t place = is->resume_time;
    if (dir == 1) {
        if (frameTime <= place) return false;
        is->resume_dir = 0;
        return true;
    }
    if (frameTime >= place) return false;
    // Going back, the pictures of the place's own group come from its key frame up: the place
    // is behind once a picture of an earlier group comes.
    if (frameTime < is->resume_group) is->resume_dir = 0;
    return true;
}
