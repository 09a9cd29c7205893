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

    // True when a frame is buffered and ready to be read.
    bool FrameWaiting() {
        std::lock_guard<platform::CriticalSection> frameLock(m_csFrame);
        if (m_bOnFile) return m_itGOP != m_mapGOP.end() || (m_bAutoRepeat && !m_mapGOP.empty());
        for (const auto& group : m_listAhead)
            if (group->front() != nullptr) return true;
        return NextLiveRecord() != nullptr;
    }
};

}  // namespace engine
