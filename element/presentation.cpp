// The clock's tick: serves re-seeks, decides which queued pictures are due and hands them to
// the host, keeps the channels in step across holes in the recording, and takes frame steps.
#include <cmath>
#include <cstdlib>

#include "element/CQMediaElement.h"
#include "foundation/callback_scope.h"
#include "platform/trace.h"

namespace {
// A channel whose next picture is further away than this is reported as waiting (a hole in
// its recording), when there are several channels.
constexpr int32_t kHoleMs = 30000;
// How late a picture may be presented and still keep its channel on its schedule.
constexpr double kCatchUpMs = 100;
}  // namespace

void CQMediaElement::Deliver(pictureframe* picture, channelstate* state) {
    if (m_Setting.callback == nullptr) return;
    foundation::CallbackScope<CQMediaElement> scope(this);
    m_Setting.callback(0, m_nState, 0.0, picture, state);
}

bool CQMediaElement::StepFromHistory() {
    std::lock_guard<std::mutex> hold(m_mtxPicture);
    for (const auto& [channel, clock] : m_mapClock) {
        const auto before = m_mapBefore.find(channel);
        if (before == m_mapBefore.end() || !before->second) return false;
    }
    for (auto& [channel, clock] : m_mapClock) {
        if (m_nState == VARNEL_STATE_CLOSED) break;  // closed from the callback
        element::PicturePtr& before = m_mapBefore.at(channel);
        before->lastFrameTime = m_MyFile.GetLastFrameDateTime();
        channelstate& state = m_mapState.at(channel);
        state.status = VARNEL_CHANNEL_PRESENTED;
        Deliver(before.get(), &state);
        clock.lastFrameTime = before->frameTime;
        std::swap(before, m_mapOnScreen[channel]);
    }
    m_bFrameStep = false;
    return true;
}

bool CQMediaElement::ServeTurn() {
    const bool forward = m_nOrientation == 1;
    // A step that turns is answered at once from the pictures kept; the turn then goes on
    // from the pictures it showed.
    if (m_bFrameStep) StepFromHistory();
    int64_t place = INT64_MIN;
    std::map<int32_t, element::resumefilter> resume;
    {
        std::lock_guard<std::mutex> hold(m_mtxPicture);
        for (const auto& [channel, clock] : m_mapClock) {
            if (clock.lastFrameTime == -1) continue;
            resume[channel] = {forward ? 1 : 0, clock.lastFrameTime};
            // Forward from the earliest picture shown, back from the latest: every channel's
            // group holding its picture is kept.
            if (place == INT64_MIN ||
                (forward ? clock.lastFrameTime < place : clock.lastFrameTime > place))
                place = clock.lastFrameTime;
        }
    }
    if (place == INT64_MIN) return false;  // nothing shown: an ordinary re-seek
    platform::TraceF("Turn %s\r\n", forward ? "Forward" : "Rewind");
    m_MyFile.TurnAt(place,
                    forward ? MediaElementOrientations_Forward : MediaElementOrientations_Rewind);
    ClearBuffer();
    {
        std::lock_guard<std::mutex> hold(m_mtxPicture);
        m_mapResume = std::move(resume);
        // The first picture shown is due one frame after the turn.
        m_llReverseBase = place;
    }
    m_nReseek = 0;
    return true;
}

void CQMediaElement::ServeReseek() {
    m_nReseek = 2;
    if (m_bTurn.exchange(false) && m_Setting.fileMode != 1 && ServeTurn()) return;
    if (m_Setting.fileMode == 1 && m_nSetPos != -1) {
        m_MyFile.SetPos(m_nSetPos);
        m_nSetPos = -1;
        ClearBuffer();
        m_nReseek = 0;
        return;
    }
    // The earliest picture still to be shown is where playback goes on from.
    int64_t first = -1;
    {
        std::lock_guard<std::mutex> hold(m_mtxPicture);
        for (const auto& [channel, clock] : m_mapClock) {
            const auto& queue = m_mapPicture.at(channel);
            if (queue.empty()) continue;
            const int64_t t = queue.front()->frameTime;
            if (first == -1 || t < first) first = t;
        }
    }
    char text[32] = {};
    CQMyFile::FrameTime2SystemTime(first, text);
    if (m_Setting.fileMode != 1) platform::TraceF("Seek %s--\r\n", text);
    m_MyFile.Seek(
        text, first,
        m_nOrientation == 1 ? MediaElementOrientations_Forward : MediaElementOrientations_Rewind);
    ClearBuffer();
    m_nReseek = 0;
}

bool CQMediaElement::StepReady() {
    if (m_nStepWait > 0) {
        for (const auto& [channel, clock] : m_mapClock) {
            if (m_mapPicture.at(channel).empty()) {
                --m_nStepWait;
                return false;
            }
        }
    }
    m_nStepWait = kStepWaitTicks;
    return true;
}

void CQMediaElement::KeepStepPending() {
    // A frame step is one pulse of the clock, and the pulse's tick may find nothing to show
    // yet: the re-seek that a change of reading mode asks for, or queues still filling after
    // it. Without another pulse the step would be lost and the host's step key would seem to
    // do nothing; so the step stays pending until a tick has taken it.
    if (m_bFrameStep && m_nState == VARNEL_STATE_PAUSED) m_Clock.Repulse();
}

void CQMediaElement::ResynchroniseGap() {
    for (const auto& [channel, clock] : m_mapClock) {
        if (m_mapPicture.at(channel).empty()) return;
        if (m_mapState.at(channel).status != VARNEL_CHANNEL_WAITING) return;
    }
    // The latest picture shown and the earliest one pending, 0 counting as none.
    int32_t maxLast = 0;
    int32_t minFront = 0;
    for (const auto& [channel, clock] : m_mapClock) {
        if (clock.lastPts != -1.0) {
            const auto last = static_cast<int32_t>(clock.lastPts);
            if (last != 0 && (maxLast == 0 || last > maxLast)) maxLast = last;
        }
        const auto front = static_cast<int32_t>(m_mapPicture.at(channel).front()->pts);
        if (front != 0 && (minFront == 0 || front < minFront)) minFront = front;
    }
    const int32_t gap = minFront - maxLast;
    for (auto& [channel, clock] : m_mapClock) clock.gapOffset = gap;
}

void CQMediaElement::Present(int32_t clockMs, double factor) {
    const bool several = m_mapClock.size() > 1;
    for (auto& [channel, clock] : m_mapClock) {
        // A host that closed from its callback gets no further picture.
        if (m_nState == VARNEL_STATE_CLOSED) return;
        auto& queue = m_mapPicture.at(channel);
        if (queue.empty()) continue;
        pictureframe* picture = queue.front().get();
        channelstate& state = m_mapState.at(channel);
        bool present = false;
        bool following = false;
        double distance = 0;
        double due = 0;
        if (clock.lastPts == -1.0) {
            due = static_cast<double>(
                static_cast<int64_t>((picture->pts - clock.gapOffset) / factor));
            if (clockMs >= due || m_bFrameStep) {
                present = true;
            } else if (state.status == VARNEL_CHANNEL_NONE) {
                state.status = VARNEL_CHANNEL_WAITING;
                Deliver(picture, &state);
            }
        } else {
            following = true;
            clock.delta = std::fabs(picture->pts - clock.lastPts) - clock.gapOffset;
            distance = clock.delta / factor;
            due = static_cast<double>(clock.lastClock) + distance;
            if (m_bFrameStep || clockMs >= due) {
                present = true;
            } else if (several && static_cast<int32_t>(due - clockMs) > kHoleMs &&
                       state.status != VARNEL_CHANNEL_WAITING) {
                state.status = VARNEL_CHANNEL_WAITING;
                Deliver(nullptr, &state);
            }
        }
        if (!present) continue;
        if (following) {
            char text[32] = {};
            CQMyFile::FrameTime2SystemTime(picture->frameTime, text);
            platform::TraceF(
                "video time:%s pts:%f duraion:%f clock:%d last_offset:%d orientation:%d "
                "key:%d\r\n",
                text, picture->pts, distance, clockMs, clock.gapOffset, m_nOrientation.load(),
                picture->channel);
        }
        clock.gapOffset = 0;
        clock.lastPts = picture->pts;
        clock.lastFrameTime = picture->frameTime;
        element::PicturePtr shown = std::move(queue.front());
        queue.pop_front();
        --m_mapLoad.at(channel).pictures;
        m_cvDecode.notify_all();  // room in this channel's picture queue
        shown->lastFrameTime = m_MyFile.GetLastFrameDateTime();
        state.status = VARNEL_CHANNEL_PRESENTED;
        Deliver(shown.get(), &state);
        if (m_nReverseMode == VARNEL_REVERSE_SMOOTH) {
            m_mapBefore[channel] = std::move(m_mapOnScreen[channel]);
            m_mapOnScreen[channel] = std::move(shown);
        }
        shown.reset();
        // The next picture is timed from when this one was due, not from when a tick came
        // round to it: a tick delayed by a busy machine (or a skipped one) would otherwise
        // push every later picture of the channel back for good, and the channels, each
        // delayed differently, would drift apart. A picture far behind its time (a stalled
        // machine, a frame step) starts the schedule afresh instead of rushing the next ones.
        const bool onSchedule = !m_bFrameStep && clockMs - due <= kCatchUpMs;
        clock.lastClock = onSchedule ? static_cast<int64_t>(due) : clockMs;
    }
}

int32_t CQMediaElement::UpdateClock(int32_t clockMs) {
    if (m_nState == VARNEL_STATE_CLOSED) return 0;
    if (!m_bFrameStep && m_nState != VARNEL_STATE_PLAYING) return 0;
    if (m_nReseek == 1) {
        ServeReseek();  // a turn with a step presents pictures: the host may close meanwhile
        KeepStepPending();
        FinishCloseFromCallback();
        return 0;
    }
    // A frame step does not wait for the pre-buffer of playback: one picture a channel is
    // all it shows (StepReady below).
    if (m_nReseek == 2 || (!m_bReady && !m_bFrameStep)) {
        KeepStepPending();
        return 0;
    }
    std::unique_lock<std::mutex> hold(m_mtxPicture, std::try_to_lock);
    if (!hold.owns_lock()) {
        KeepStepPending();  // the next tick catches up: due times are absolute
        return 0;
    }
    if (m_bFrameStep && !StepReady()) {
        hold.unlock();
        KeepStepPending();
        return 0;
    }
    const bool step = m_bFrameStep;
    ResynchroniseGap();
    Present(clockMs, std::pow(2.0, m_nSpeed.load()));
    // After a step each channel's next picture is timed as a first picture.
    if (step)
        for (auto& [channel, clock] : m_mapClock) clock.lastPts = -1.0;
    if (m_nReseek == 0) m_bFrameStep = false;
    hold.unlock();
    FinishCloseFromCallback();
    return 0;
}

void CQMediaElement::FinishCloseFromCallback() {
    if (m_bCloseDeferred) {
        // The host closed (or destroyed) the element from its callback: finish here, on the
        // clock thread, now that the picture lock is free. The clock's timer, deleted from its
        // own thread, ends as this tick returns. A close already under way on another thread
        // is waiting for this tick to end: it does the rest.
        std::unique_lock<std::mutex> closing(m_mtxClose, std::try_to_lock);
        if (!closing.owns_lock()) return;
        const bool destroy = m_bDestroyDeferred;
        FinishClose();
        closing.unlock();
        if (destroy) delete this;
    }
}
