// The engine's view of a stream source: two questions the reader asks that the source's own
// interface does not answer.
#pragma once

#include <mutex>

#include "source/CQMyFile.h"

namespace engine {

class EngineSource : public CQMyFile {
public:
    // True while the source's flow control holds the recorder: finished groups wait unread
    // beyond its threshold. Its command line may still be on the way (it goes out at the next
    // flow-control step), or a Play from the host's resume may have crossed it: either way the
    // recorder sends nothing more until a group is read.
    bool FlowControlHolding() {
        std::lock_guard<platform::CriticalSection> frameLock(m_csFrame);
        if (m_bOnFile || m_nMaxBuffer < 1) return false;
        return m_listAhead.size() > static_cast<size_t>(10 * (m_nChannel > 0 ? m_nChannel : 0));
    }

    // Turns the direction of play at the picture of frameTime: the groups held here are put
    // in the new order from the group that holds that picture, which is read again from its
    // key frame, and the recorder is asked to go on beyond them. The start of that group, or
    // INT64_MIN when none held here starts at or before the picture.
    int64_t TurnAt(int64_t frameTime, MediaElementOrientations orientation) {
        int64_t start = INT64_MIN;
        {
            std::lock_guard<platform::CriticalSection> frameLock(m_csFrame);
            for (const auto* list : {&m_listAhead, &m_listBehind})
                for (const auto& group : *list) {
                    const frameheader1* first = group->front();
                    if (first != nullptr && first->frameTime <= frameTime &&
                        first->frameTime > start)
                        start = first->frameTime;
                }
            // A group partly read has been played from: it goes behind, with the groups read,
            // and read again it starts at its key frame.
            if (!m_listAhead.empty()) {
                CQMyFile_GOP& group = *m_listAhead.front();
                frameheader1 next{};
                const bool started =
                    group.front() != nullptr && (!group.GetNextFrameHeader(&next) ||
                                                 next.frameTime != group.front()->frameTime);
                if (started) {
                    group.Reset();
                    m_listBehind.push_back(std::move(m_listAhead.front()));
                    m_listAhead.pop_front();
                }
            }
        }
        const int64_t at = start != INT64_MIN ? start : frameTime;
        char text[32] = {};
        FrameTime2SystemTime(at, text);
        Turn(text, at, orientation);
        return start;
    }

    // True when a frame is buffered and ready to be read.
    bool FrameWaiting() {
        std::lock_guard<platform::CriticalSection> frameLock(m_csFrame);
        if (m_bOnFile) return m_itGOP != m_mapGOP.end() || (m_bAutoRepeat && !m_mapGOP.empty());
        for (const auto& group : m_listAhead)
            if (group->front() != nullptr) return true;
        return false;
    }
};

}  // namespace engine
