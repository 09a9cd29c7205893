// The engine's view of a stream source: two questions the reader asks that the source's own
// interface does not answer.
#pragma once

#include <mutex>

#include "source/CQMyFile.h"

namespace engine {

class EngineSource : public CQMyFile {
public:
    // True while the source's flow control is holding the recorder: groups wait unread beyond
    // the flow-control threshold and the last command line told the recorder to pause.
    bool HeldByFlowControl() {
        std::lock_guard<platform::CriticalSection> frameLock(m_csFrame);
        if (m_bOnFile || m_nMaxBuffer < 1) return false;
        if (m_listAhead.size() <= static_cast<size_t>(10 * (m_nChannel > 0 ? m_nChannel : 0)))
            return false;
        std::lock_guard<platform::CriticalSection> commandLock(m_csCommand);
        return !m_SentCommand.play;
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
