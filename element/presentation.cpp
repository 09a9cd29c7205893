// The clock's tick: serves re-seeks, starts the media timeline, hands every channel the
// pictures the timeline has reached, jumps over holes in the recording, and takes frame steps.
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "element/CQMediaElement.h"
#include "foundation/callback_scope.h"
#include "platform/trace.h"

namespace {
// A channel whose next picture is further away than this (clock ms) is reported as waiting
// (a hole in its recording), when there are several channels.
constexpr double kHoleMs = 30000;
// A stretch of recorder time longer than this with no picture in any channel is jumped over:
// watching nothing for the length of a hole helps nobody reviewing footage.
constexpr double kJumpMs = 1000;
// How long the start waits for channels that have fewer pictures than the start amount, or
// none at all (a camera that recorded nothing in the range), once another channel has some.
constexpr int64_t kStartWaitMs = 500;
// The longest the start waits for channels whose pictures are still being decoded.
constexpr int64_t kStartLongestMs = 3000;

int64_t Earlier(bool forward, int64_t a, int64_t b) {
    return forward ? std::min(a, b) : std::max(a, b);
}
int64_t Later(bool forward, int64_t a, int64_t b) {
    return forward ? std::max(a, b) : std::min(a, b);
}
}  // namespace

int64_t CQMediaElement::EarliestFront(bool forward) {
    int64_t earliest = -1;
    for (const auto& [channel, clock] : m_mapClock) {
        const auto& queue = m_mapPicture.at(channel);
        if (!queue.empty())
            earliest = earliest == -1 ? queue.front()->frameTime
                                      : Earlier(forward, earliest, queue.front()->frameTime);
    }
    return earliest;
}

void CQMediaElement::Deliver(pictureframe* picture, channelstate* state) {
    if (m_Setting.callback == nullptr || m_nState == VARNEL_STATE_CLOSED) return;
    foundation::CallbackScope<CQMediaElement> scope(this);
    m_Setting.callback(0, m_nState, 0.0, picture, state);
}

bool CQMediaElement::StepFromHistory() {
    std::lock_guard<std::mutex> hold(m_mtxPicture);
    for (const auto& [channel, clock] : m_mapClock) {
        const auto before = m_mapBefore.find(channel);
        if (before == m_mapBefore.end() || !before->second) return false;
    }
    m_bFrameStep = false;  // before the callbacks, which may ask for the next step
    for (auto& [channel, clock] : m_mapClock) {
        element::PicturePtr& before = m_mapBefore.at(channel);
        before->lastFrameTime = m_llLastFrameTime;
        channelstate& state = m_mapState.at(channel);
        state.status = VARNEL_CHANNEL_PRESENTED;
        Deliver(before.get(), &state);
        clock.lastFrameTime = before->frameTime;
        std::swap(before, m_mapOnScreen[channel]);
    }
    return true;
}

bool CQMediaElement::ResumeFromShown(bool turn, int32_t clockMs) {
    const bool forward = m_nOrientation == 1;
    const auto orientation =
        forward ? MediaElementOrientations_Forward : MediaElementOrientations_Rewind;
    // A step that turns is answered at once from the pictures kept; the turn then goes on
    // from the pictures it showed.
    if (turn && m_bFrameStep) StepFromHistory();
    int64_t place = -1;
    std::map<int32_t, element::resumefilter> resume;
    {
        std::lock_guard<std::mutex> hold(m_mtxPicture);
        // Going on in the same direction, every channel goes on from where the timeline has
        // got to: a channel showing a key frame of a long group (key frames only) is there
        // too, and waiting for its next one would leave it behind the others. A turn goes on
        // from the picture each channel shows.
        const bool same = !turn && m_timeline.Started() && m_timeline.Forward() == forward &&
                          m_nTimelineGeneration == m_nGeneration;
        // Not beyond the latest picture shown: where pictures come late, the timeline is
        // ahead of what anyone has seen.
        const int64_t reached =
            same && m_llLatestShown != -1
                ? Earlier(forward, m_timeline.Position(clockMs), m_llLatestShown)
                : -1;
        for (const auto& [channel, clock] : m_mapClock) {
            int64_t from = clock.lastFrameTime;
            if (reached != -1) from = from == -1 ? reached : Later(forward, from, reached);
            if (from == -1) continue;
            resume[channel] = {forward ? 1 : 0, from};
            // Read again from the earliest of them going forward, the latest going back:
            // every channel's group holding its place is kept.
            place = place == -1 ? from : Earlier(forward, place, from);
        }
    }
    if (place == -1) return false;  // nothing shown: an ordinary re-seek
    char text[32] = {};
    CQMyFile::FrameTime2SystemTime(place, text);
    if (m_Setting.fileMode != 1) platform::TraceF("Seek %s--\r\n", text);
    if (turn && m_Setting.fileMode == 0) {
        platform::TraceF("Turn %s\r\n", forward ? "Forward" : "Rewind");
        m_MyFile.TurnAt(place, orientation, SmoothBackward());
    } else if (!m_MyFile.ReadAgainFrom(place, orientation)) {
        return false;
    }
    ClearBuffer();
    std::lock_guard<std::mutex> hold(m_mtxPicture);
    // Each channel goes on after the picture it shows, whatever else the source reads again.
    m_mapResume = std::move(resume);
    if (turn) m_llReverseBase = place;
    return true;
}

void CQMediaElement::ServeReseek(int32_t clockMs) {
    m_nReseek = 2;
    // The reader takes no frame meanwhile: one taken from the new place before the queues are
    // cleared would be dropped with them (a key frame, and the pictures after it decoded
    // without it).
    std::lock_guard<std::mutex> reading(m_mtxRead);
    const bool turn = m_bTurn.exchange(false);
    const auto orientation =
        m_nOrientation == 1 ? MediaElementOrientations_Forward : MediaElementOrientations_Rewind;
    if (m_Setting.fileMode == 1 && m_nSetPos != -1) {
        m_MyFile.SetPos(m_nSetPos);
        m_nSetPos = -1;
        ClearBuffer();
    } else if (m_Setting.fileMode == 1 && m_bSeekTime) {
        platform::SYSTEMTIME time{};
        {
            std::lock_guard<std::mutex> control(m_mtxControl);
            time = m_seekTime;
            m_bSeekTime = false;
        }
        if (m_MyFile.Seek(time, orientation)) ClearBuffer();
    } else if (!ResumeFromShown(turn, clockMs)) {
        // Nothing shown yet: on from the earliest picture still to be shown.
        int64_t first;
        {
            std::lock_guard<std::mutex> hold(m_mtxPicture);
            first = EarliestFront(true);
        }
        char text[32] = {};
        CQMyFile::FrameTime2SystemTime(first, text);
        if (m_Setting.fileMode != 1) platform::TraceF("Seek %s--\r\n", text);
        m_MyFile.Seek(text, first, orientation);
        ClearBuffer();
    }
    m_nReseek = 0;
}

void CQMediaElement::KeepStepPending() {
    // A frame step is one pulse of the clock, and the pulse's tick may find nothing to show
    // yet: the re-seek that a change of reading mode asks for, or queues still filling after
    // it. Without another pulse the step would be lost and the host's step key would seem to
    // do nothing; so the step stays pending until a tick has taken it.
    if (m_bFrameStep && m_nState == VARNEL_STATE_PAUSED) m_Clock.Repulse();
}

bool CQMediaElement::ChannelDrained(int32_t channel) {
    const element::ChannelLoad& load = m_mapLoad.at(channel);
    std::lock_guard<std::mutex> hold(m_mtxPacket);
    return load.packets == 0 && !load.decoding && !load.reversed;
}

int CQMediaElement::Held(int32_t channel, size_t pictures) {
    const element::ChannelLoad& load = m_mapLoad.at(channel);
    std::lock_guard<std::mutex> hold(m_mtxPacket);
    return static_cast<int>(pictures) + load.packets + (load.decoding ? 1 : 0);
}

bool CQMediaElement::StartTimeline(int32_t clockMs) {
    // Every channel has its start amount, or has had all its access units decoded (nothing
    // more may come for a while: the reader waits for room in another channel), or shows
    // that the feed brings no more: what it holds decoded and still to decode is short of
    // the amount. A recorder that sends at the pace of the recording is that feed, and
    // waiting for the amount would only put the first picture off by as many frame times.
    // Channels with
    // nothing at all (a camera with no recording in the range) are waited for a short while
    // only, and nothing holds the start for long: no channel can hold the others back for
    // good.
    const int need = m_bOnlyKeyFrame ? kClockStartKeyFrames : kClockStart;
    const bool forward = m_nOrientation == 1;
    bool ready = true;
    bool empty = false;
    const int64_t origin = EarliestFront(forward);
    for (const auto& [channel, clock] : m_mapClock) {
        const auto& queue = m_mapPicture.at(channel);
        if (static_cast<int>(queue.size()) >= need) continue;
        const bool drained = ChannelDrained(channel);
        // After the end of the input (always so in file mode, read whole before a seek) a
        // channel with nothing left to decode gets nothing more; one still decoding has its
        // first pictures on the way, and starting without them would show them late, all at
        // once.
        if (m_bInputEnded && drained) continue;
        if (queue.empty() && drained)
            empty = true;
        else if (!drained && (queue.empty() || Held(channel, queue.size()) >= need))
            ready = false;
    }
    if (origin == -1) return false;
    if (m_llWaitSince == -1) m_llWaitSince = clockMs;
    const int64_t waited = clockMs - m_llWaitSince;
    if ((!ready && waited < kStartLongestMs) || (empty && waited < kStartWaitMs)) return false;
    m_timeline.Start(origin, clockMs, std::pow(2.0, m_nSpeed.load()), forward);
    return true;
}

void CQMediaElement::Show(int32_t channel, int32_t clockMs) {
    auto& queue = m_mapPicture.at(channel);
    element::channelclock& clock = m_mapClock.at(channel);
    channelstate& state = m_mapState.at(channel);
    element::PicturePtr shown = std::move(queue.front());
    queue.pop_front();
    --m_mapLoad.at(channel).pictures;
    m_cvDecode.notify_all();  // room in this channel's picture queue
    char text[32] = {};
    CQMyFile::FrameTime2SystemTime(shown->frameTime, text);
    platform::TraceF(
        "video time:%s pts:%f duraion:%f clock:%d last_offset:%d orientation:%d key:%d\r\n", text,
        shown->pts, static_cast<double>(shown->duration), clockMs, clock.gapOffset,
        m_nOrientation.load(), shown->channel);
    clock.gapOffset = 0;
    clock.lastFrameTime = shown->frameTime;
    clock.lastDuration = shown->duration;
    if (m_llLatestShown == -1 ||
        Later(m_timeline.Forward(), m_llLatestShown, shown->frameTime) == shown->frameTime) {
        m_llLatestShown = shown->frameTime;
        m_nLatestDuration = shown->duration;
    }
    shown->lastFrameTime = m_llLastFrameTime;
    state.status = VARNEL_CHANNEL_PRESENTED;
    Deliver(shown.get(), &state);
    if (m_nReverseMode == VARNEL_REVERSE_SMOOTH) {
        m_mapBefore[channel] = std::move(m_mapOnScreen[channel]);
        m_mapOnScreen[channel] = std::move(shown);
    }
}

void CQMediaElement::Present(int32_t clockMs) {
    // One picture a channel a tick: a channel that has fallen behind (a busy machine) catches
    // up a picture a millisecond, and shows every picture on the way.
    for (auto& [channel, clock] : m_mapClock) {
        const auto& queue = m_mapPicture.at(channel);
        if (!queue.empty() && m_timeline.Reached(queue.front()->frameTime, clockMs))
            Show(channel, clockMs);
    }
}

void CQMediaElement::ReportWaiting(int32_t clockMs) {
    const bool several = m_mapClock.size() > 1;
    for (auto& [channel, clock] : m_mapClock) {
        const auto& queue = m_mapPicture.at(channel);
        channelstate& state = m_mapState.at(channel);
        if (!queue.empty()) {
            pictureframe* front = queue.front().get();
            if (m_timeline.Reached(front->frameTime, clockMs)) continue;
            if (state.status == VARNEL_CHANNEL_NONE) {
                // The channel's first picture is not due yet: shown to the host ahead.
                state.status = VARNEL_CHANNEL_WAITING;
                Deliver(front, &state);
            } else if (several && state.status != VARNEL_CHANNEL_WAITING &&
                       m_timeline.MsUntil(front->frameTime, clockMs) > kHoleMs) {
                state.status = VARNEL_CHANNEL_WAITING;
                Deliver(nullptr, &state);
            }
        } else if (several && state.status == VARNEL_CHANNEL_NONE && ChannelDrained(channel)) {
            // Nothing at all while the others play: a camera that recorded nothing here.
            state.status = VARNEL_CHANNEL_WAITING;
            Deliver(nullptr, &state);
        }
    }
}

void CQMediaElement::JumpHole(int32_t clockMs) {
    // Jumped only when no channel has anything due or on its way: a channel whose pictures
    // are still being decoded may have one before the others'.
    for (const auto& [channel, clock] : m_mapClock) {
        const auto& queue = m_mapPicture.at(channel);
        if (queue.empty() ? !m_bInputEnded && !ChannelDrained(channel)
                          : m_timeline.Reached(queue.front()->frameTime, clockMs))
            return;
    }
    const int64_t next = EarliestFront(m_timeline.Forward());
    if (next == -1) return;
    const double ahead = m_timeline.AheadMs(next, clockMs);
    if (ahead <= kJumpMs) return;
    // The picture shown last keeps its own time on screen before the jump.
    if (m_llLatestShown != -1 && -m_timeline.AheadMs(m_llLatestShown, clockMs) < m_nLatestDuration)
        return;
    m_timeline.MoveTo(next, clockMs);
    for (auto& [channel, clock] : m_mapClock) clock.gapOffset = static_cast<int32_t>(ahead);
}

void CQMediaElement::Step(int32_t clockMs) {
    // A channel still decoding is always waited for (however slow the machine, its picture
    // is on its way); one with nothing to decode, for a while only (its recording may have
    // ended or have a hole).
    for (const auto& [channel, clock] : m_mapClock) {
        if (!m_mapPicture.at(channel).empty()) continue;
        const bool drained = ChannelDrained(channel);
        if (!drained) return;
        if (!m_bInputEnded && m_nStepWait > 0) {
            --m_nStepWait;
            return;
        }
    }
    const bool forward = m_nOrientation == 1;
    const int64_t target = EarliestFront(forward);
    bool more = !m_bInputEnded;
    for (const auto& [channel, clock] : m_mapClock) more = more || !ChannelDrained(channel);
    // Nothing to show yet (a busy machine decoding a group backward): the step waits for the
    // first picture rather than being lost, unless none can come any more.
    if (target == -1 && more) return;
    m_nStepWait = kStepWaitTicks;
    // Taken before the pictures go out: a host that asks for the next step from the
    // callback of this one sets the flag again, and that step must not be lost.
    if (m_nReseek == 0) m_bFrameStep = false;
    if (target != -1) {
        // Every channel shows its next picture, and the timeline stands at the earliest of
        // them: play goes on from there with every channel in step again.
        for (auto& [channel, clock] : m_mapClock)
            if (!m_mapPicture.at(channel).empty()) Show(channel, clockMs);
        const double factor = std::pow(2.0, m_nSpeed.load());
        if (!m_timeline.Started())
            m_timeline.Start(target, clockMs, factor, forward);
        else {
            m_timeline.SetRate(factor, forward, clockMs);
            m_timeline.MoveTo(target, clockMs);
        }
    }
}

int32_t CQMediaElement::UpdateClock(int32_t clockMs) {
    if (m_nState == VARNEL_STATE_CLOSED) {
        FinishCloseFromCallback();
        return 0;
    }
    if (!m_bFrameStep && m_nState != VARNEL_STATE_PLAYING) return 0;
    if (m_nReseek == 1) {
        ServeReseek(clockMs);  // a turn with a step presents pictures: the host may close meanwhile
        KeepStepPending();
        FinishCloseFromCallback();
        return 0;
    }
    if (m_nReseek == 2) {
        KeepStepPending();
        return 0;
    }
    std::unique_lock<std::mutex> hold(m_mtxPicture, std::try_to_lock);
    if (!hold.owns_lock()) {
        KeepStepPending();  // the next tick catches up: due times are absolute
        return 0;
    }
    if (m_nTimelineGeneration != m_nGeneration) {
        // The queues were cleared (an open or a re-seek): a new timeline on the new pictures.
        m_nTimelineGeneration = m_nGeneration;
        m_timeline.Stop();
        m_llWaitSince = -1;
        m_llLatestShown = -1;
    }
    if (m_bFrameStep) {
        Step(clockMs);
        if (m_bFrameStep) KeepStepPending();
    } else if (m_timeline.Started() || StartTimeline(clockMs)) {
        const double factor = std::pow(2.0, m_nSpeed.load());
        const bool forward = m_nOrientation == 1;
        if (factor != m_timeline.Factor() || forward != m_timeline.Forward())
            m_timeline.SetRate(factor, forward, clockMs);
        Present(clockMs);
        ReportWaiting(clockMs);
        JumpHole(clockMs);
    }
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
