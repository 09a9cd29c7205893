// Smooth reverse in the video thread: the decoded pictures of each group are held and queued
// to be shown latest first, interleaved with the decoding of the next group.
#include "engine/CQFFmpegPlayer.h"

using engine::HeldPicture;
using engine::VideoState;

bool CQFFmpegPlayer::SetReverseMode(int32_t mode) {
    if (mode != VARNEL_REVERSE_GROUPS && mode != VARNEL_REVERSE_SMOOTH) return false;
    m_nReverseMode = mode;
    return true;
}

bool CQFFmpegPlayer::SmoothReverse() const {
    return m_nReverseMode == VARNEL_REVERSE_SMOOTH && m_nOrientation == 0;
}

void CQFFmpegPlayer::CountReversed() {
    m_nReverseHeld = m_reverseMain.Held() + m_reverseFos.Held();
}

void CQFFmpegPlayer::ClearReversed() {
    m_reverseMain.Clear();
    m_reverseFos.Clear();
    CountReversed();
}

int CQFFmpegPlayer::EmitReversed(VideoState* is, bool all) {
    for (;;) {
        // With two sources the later of their next pictures goes first, as the merge does.
        const int64_t main = m_reverseMain.NextTime(), fos = m_reverseFos.NextTime();
        if (main == engine::ReverseGroups::kNone && fos == engine::ReverseGroups::kNone) break;
        const int source = main >= fos ? 0 : 1;
        engine::ReverseGroups& from = Reverse(source);
        // Beyond the room in the picture queue only while the held pictures fill their bound
        // (then the decoder waits for them to be shown), or when all must go.
        if (!all && !from.Full()) {
            std::lock_guard<std::mutex> lock(is->pictq_mutex);
            if (is->pictq_size >= engine::kPicturesQueuedMax) break;
        }
        HeldPicture picture;
        const bool taken = from.TakeOutgoing(picture);
        CountReversed();
        if (!taken) continue;
        // Held from before a turn that has not reached this thread yet: on the near side of
        // the place, it is not shown.
        if (picture.hasRecord && NearSideOfTurn(is, picture.record.frameTime)) continue;
        if (show_picture(is, VideoDecoder(source), picture.frame.get(),
                         picture.hasRecord ? &picture.record : nullptr) < 0)
            return -1;
    }
    return 0;
}

int CQFFmpegPlayer::EmitAllReversed(VideoState* is) {
    m_reverseMain.EndGroup();
    m_reverseFos.EndGroup();
    return EmitReversed(is, true);
}
