// Stream source: reading frames back from the groups, positioning and changes of direction.
#include <algorithm>
#include <cstring>
#include <iterator>
#include <map>
#include <set>

#include "platform/files.h"
#include "platform/trace.h"
#include "source/CQMyFile.h"

namespace {

void ZeroFill(frameheader1* rec) {
    std::memset(rec, 0, sizeof *rec);
}

bool PartlyRead(CQMyFile_GOP& group) {
    frameheader1 next{};
    group.GetNextFrameHeader(&next);
    return group.front() != nullptr && !group.IsEnd() && next.frameTime != group.front()->frameTime;
}

}  // namespace

unsigned char* CQMyFile::ReadBufferFor(int32_t length) {
    // Never null, so that a caller copying length bytes from data is always handed memory.
    const int32_t wanted = std::max<int32_t>(length, 1);
    if (m_nReadBufferSize < wanted) {
        m_pReadBuffer.reset(new unsigned char[wanted]);
        m_nReadBufferSize = wanted;
    }
    return m_pReadBuffer.get();
}

bool CQMyFile::ReadFrame(frameheader1* rec, unsigned char*& data, bool keyOnly) {
    std::lock_guard<platform::CriticalSection> lock(m_csFrame);
    if (m_pReadFile && std::strncmp(m_szReadPath, rec->filePath, sizeof m_szReadPath) != 0) {
        m_pReadFile.reset();
        // The reader has moved on to another file: trim the groups kept behind it.
        while (m_listBehind.size() > kMaxBehindGroups) m_listBehind.pop_front();
    }
    if (!m_pReadFile) {
        CopyText(m_szReadPath, sizeof m_szReadPath, rec->filePath);
        m_pReadFile.reset(std::fopen(m_szReadPath, "rb"));
    }

    bool read = false;
    if (m_pReadFile && rec->length >= 0 && rec->length <= kMaxPayloadLength) {
        unsigned char* buffer = ReadBufferFor(rec->length);
        read = std::fseek(m_pReadFile.get(), static_cast<long>(rec->payloadPos), SEEK_SET) == 0 &&
               std::fread(buffer, 1, rec->length, m_pReadFile.get()) ==
                   static_cast<size_t>(rec->length);
        if (!read) std::clearerr(m_pReadFile.get());
    }
    // Counted off even when the payload could not be read: the frame has left the buffer, and
    // buffered time that can never be read would make a reader wait for data that is not there.
    if (!m_bOnFile) m_nDuration -= keyOnly ? rec->groupDuration : rec->duration;
    if (!read) {
        // A frame whose payload cannot be read back (its file is gone or short) reaches the
        // engine as no frame: a length with no bytes behind it would be copied from nowhere.
        ZeroFill(rec);
    }
    data = ReadBufferFor(rec->length);
    if (!m_bOnFile && m_nMaxBuffer >= 1) FlowControlStep();
    return true;
}

bool CQMyFile::GetNextFrame(frameheader1* rec, unsigned char*& data,
                            MediaElementOrientations /*orientation*/) {
    std::lock_guard<platform::CriticalSection> lock(m_csFrame);
    if (!m_bOnFile) {
        if (m_listAhead.empty()) {
            if (!TakeLiveRecord(rec, data)) ZeroFill(rec);
            return true;
        }
        CQMyFile_GOP& group = *m_listAhead.front();
        group.GetNexFrame(*rec);
        if (group.IsEnd()) {
            group.Reset();
            m_listBehind.push_back(std::move(m_listAhead.front()));
            m_listAhead.pop_front();
        }
        return ReadFrame(rec, data, false);
    }
    if (m_mapGOP.empty()) return true;
    if (m_itGOP == m_mapGOP.end() && m_bAutoRepeat) m_itGOP = m_mapGOP.begin();
    if (m_itGOP == m_mapGOP.end()) return true;
    CQMyFile_GOP& group = *m_itGOP->second;
    group.GetNexFrame(*rec);
    if (group.IsEnd()) {
        group.Reset();
        ++m_itGOP;
    }
    return ReadFrame(rec, data, false);
}

bool CQMyFile::GetNextFrame_Key(frameheader1* rec, unsigned char*& data,
                                MediaElementOrientations orientation) {
    std::lock_guard<platform::CriticalSection> lock(m_csFrame);
    if (!m_bOnFile) {
        // A group read partly (before a change to key frames only) has shown its key frame:
        // key-frame reading goes on with the next group's. Deliberately not the frame at its
        // cursor: that picture cannot be decoded alone, and the host would see a broken one.
        while (!m_listAhead.empty() && PartlyRead(*m_listAhead.front())) {
            // Its pictures passed over leave the buffered time too, or flow control would
            // count them as held for as long as the source lives.
            CQMyFile_GOP& group = *m_listAhead.front();
            frameheader1 rest{};
            while (!group.IsEnd()) {
                group.GetNexFrame(rest);
                if (rest.kind == VARNEL_KIND_VIDEO) m_nDuration -= rest.duration;
            }
            group.Reset();
            m_listBehind.push_back(std::move(m_listAhead.front()));
            m_listAhead.pop_front();
        }
        if (m_listAhead.empty()) {
            ZeroFill(rec);
            return true;
        }
        m_listAhead.front()->GetNexFrame(*rec);
        m_listAhead.front()->Reset();
        m_listBehind.push_back(std::move(m_listAhead.front()));
        m_listAhead.pop_front();
        return ReadFrame(rec, data, true);
    }
    if (m_mapGOP.empty()) {
        ZeroFill(rec);
        return true;
    }
    if (orientation == MediaElementOrientations_Rewind) {
        // In rewind the first group is passed over: reaching it wraps to the last group. A
        // cursor at the end (everything read forward) starts from the last group as well.
        if (m_itGOP == m_mapGOP.begin() || m_itGOP == m_mapGOP.end()) {
            m_itGOP = std::prev(m_mapGOP.end());
        }
        m_itGOP->second->GetNexFrame(*rec);
        m_itGOP->second->Reset();
        if (m_itGOP == m_mapGOP.begin()) {
            m_itGOP = m_mapGOP.end();  // a single group: the next call wraps to it again
        } else {
            --m_itGOP;
        }
    } else if (orientation == MediaElementOrientations_Forward) {
        if (m_itGOP == m_mapGOP.end()) m_itGOP = m_mapGOP.begin();
        m_itGOP->second->GetNexFrame(*rec);
        m_itGOP->second->Reset();
        ++m_itGOP;
    } else {
        return true;
    }
    return ReadFrame(rec, data, true);
}

bool CQMyFile::GetNextFrameHeader(frameheader1* rec) {
    std::lock_guard<platform::CriticalSection> lock(m_csFrame);
    if (!m_listAhead.empty()) {
        m_listAhead.front()->GetNextFrameHeader(rec);
    } else if (const frameheader1* live = NextLiveRecord()) {
        *rec = *live;
        rec->payload = nullptr;
    }
    return true;
}

bool CQMyFile::GetNextFrame(frameheader& rec, unsigned char*& data) {
    // Reads the file opened by OpenFile: it is the only file of short-form records the source
    // has, and no other reading operation uses that handle.
    std::lock_guard<platform::CriticalSection> lock(m_csFrame);
    std::memset(&rec, 0, sizeof rec);
    std::FILE* file = m_pLocalFile.get();
    if (file == nullptr) return true;
    frameheader in{};
    const bool ok =
        std::fread(&in.kind, 4, 1, file) == 1 && std::fread(in.codec, 8, 1, file) == 1 &&
        std::fread(&in.frameTime, 8, 1, file) == 1 && std::fread(&in.duration, 4, 1, file) == 1 &&
        std::fread(&in.audioTime, 4, 1, file) == 1 && std::fread(&in.length, 4, 1, file) == 1 &&
        std::fread(&in.keyFrame, 4, 1, file) == 1 &&
        std::fread(in.unknown, sizeof in.unknown, 1, file) == 1;
    // A truncated record or an impossible length ends the file: no frame.
    if (!ok || in.length < 0 || in.length > kMaxPayloadLength) return true;
    unsigned char* buffer = ReadBufferFor(in.length);
    if (std::fread(buffer, 1, in.length, file) != static_cast<size_t>(in.length)) return true;
    rec = in;
    data = buffer;
    return true;
}

void CQMyFile::Seek(const char* timeText, int64_t frameTime, MediaElementOrientations orientation) {
    std::lock_guard<platform::CriticalSection> lock(m_csFrame);
    if (m_bOnFile) return;
    {
        std::lock_guard<platform::CriticalSection> cmdLock(m_csCommand);
        if (orientation == m_Command.orientation) return;
    }
    Turn(timeText, frameTime, orientation);
}

void CQMyFile::KeepTiesInOrder(std::list<GOPPtr>& groups) {
    // With several channels, key frames of two channels at one time start two groups, and a
    // channel's frames may follow its key frame in the later one: such groups stay in the
    // order they came in, or a channel would be read from after its key frame.
    for (auto first = groups.begin(); first != groups.end();) {
        const frameheader1* head = (*first)->front();
        auto last = std::next(first);
        while (last != groups.end() && head != nullptr && (*last)->front() != nullptr &&
               (*last)->front()->frameTime == head->frameTime)
            ++last;
        std::reverse(first, last);
        first = last;
    }
}

void CQMyFile::DropUnlessStandingAlone() {
    // Under m_csFrame, after a turn back to read every picture. Groups received going forward start
    // with one channel's key frame and carry the other channels' pictures that follow it: read
    // latest first, a channel whose key frames come less often than another's would meet its
    // pictures before the key frame they need, and show nothing going back. Groups that start
    // together are read as one. From the first group that does not decode on its own, the
    // groups are let go, and the recorder is asked for the rest going back from there, which
    // it sends as whole groups of each channel. Key frames alone are read from any group.
    for (auto run = m_listAhead.begin(); run != m_listAhead.end();) {
        const int64_t time = (*run)->front() ? (*run)->front()->frameTime : -1;
        std::set<int32_t> keyed;
        auto next = run;
        bool alone = true;
        for (; next != m_listAhead.end() && (*next)->front() && (*next)->front()->frameTime == time;
             ++next)
            alone = (*next)->StandsAlone(keyed) && alone;
        if (!alone || next == run) {
            // One at a time from the end, so that a file two of them share goes with the last.
            const size_t keep = static_cast<size_t>(std::distance(m_listAhead.begin(), run));
            while (m_listAhead.size() > keep) {
                KeepSharedFile(*m_listAhead.back());
                m_listAhead.pop_back();
            }
            return;
        }
        run = next;
    }
}

int64_t CQMyFile::StartHolding(int64_t frameTime, bool forward) {
    std::lock_guard<platform::CriticalSection> lock(m_csFrame);
    // Each channel's picture lies in the groups from that channel's latest key frame at or
    // before it: every channel keeps its group when reading goes on from the earliest of those
    // going forward, from the latest going back.
    std::map<int32_t, int64_t> startOf;
    const auto consider = [&](const frameheader1* first) {
        if (first == nullptr || first->frameTime > frameTime) return;
        auto [it, added] = startOf.emplace(first->channel, first->frameTime);
        if (!added && first->frameTime > it->second) it->second = first->frameTime;
    };
    if (m_bOnFile) {
        for (const auto& [key, group] : m_mapGOP) consider(group->front());
    } else {
        for (const auto* list : {&m_listAhead, &m_listBehind})
            for (const GOPPtr& group : *list) consider(group->front());
        // The group being received, when forward play reads it already.
        if (m_nLiveTaken > 0) consider(m_listPending.front().get());
    }
    int64_t start = INT64_MIN;
    for (const auto& [channel, time] : startOf)
        if (start == INT64_MIN || (forward ? time < start : time > start)) start = time;
    return start;
}

int64_t CQMyFile::TurnAt(int64_t frameTime, MediaElementOrientations orientation,
                         bool everyPictureBack) {
    int64_t start;
    {
        std::lock_guard<platform::CriticalSection> lock(m_csFrame);
        if (m_bOnFile) return INT64_MIN;
        FinishLiveGroup();
        start = StartHolding(frameTime, orientation == MediaElementOrientations_Forward);
        // A group partly read has been played from: it goes behind, with the groups read,
        // and read again it starts at its key frame.
        if (!m_listAhead.empty()) {
            CQMyFile_GOP& group = *m_listAhead.front();
            if (PartlyRead(group)) {
                group.Reset();
                m_listBehind.push_back(std::move(m_listAhead.front()));
                m_listAhead.pop_front();
            }
        }
    }
    // The turn keeps the groups from that start on, in the new direction.
    const int64_t at = start != INT64_MIN ? start : frameTime;
    char text[32] = {};
    FrameTime2SystemTime(at, text);
    Turn(text, at, orientation, everyPictureBack);
    return start;
}

void CQMyFile::Turn(const char* timeText, int64_t frameTime, MediaElementOrientations orientation,
                    bool everyPictureBack) {
    std::lock_guard<platform::CriticalSection> lock(m_csFrame);
    if (m_bOnFile) return;
    FinishLiveGroup();
    ++m_nTurns;
    std::swap(m_listAhead, m_listBehind);
    m_listAhead.reverse();
    m_listBehind.reverse();
    KeepTiesInOrder(m_listAhead);
    KeepTiesInOrder(m_listBehind);
    const bool forward = orientation == MediaElementOrientations_Forward;
    while (!m_listAhead.empty()) {
        const int64_t t = m_listAhead.front()->front()->frameTime;
        if (forward ? !(t < frameTime) : !(t > frameTime)) break;
        m_listBehind.push_back(std::move(m_listAhead.front()));
        m_listAhead.pop_front();
    }
    if (forward) {
        DropEarlyEdge();
    } else if (everyPictureBack) {
        DropUnlessStandingAlone();
    }
    int32_t duration = 0;
    for (const GOPPtr& group : m_listAhead) {
        const frameheader1* first = group->front();
        duration += first->groupDuration;
        char text[32];
        FrameTime2SystemTime(first->frameTime, text);
        platform::TraceF("change %s\r\n", text);
    }
    m_nDuration = duration;
    // The partly received group belongs to the old direction.
    m_listPending.clear();
    m_nLiveTaken = 0;
    m_nPendingBytes = 0;

    std::lock_guard<platform::CriticalSection> cmdLock(m_csCommand);
    m_Command.orientation = orientation;
    m_Command.isSeek = true;
    std::memset(m_Command.seekTime, 0, sizeof m_Command.seekTime);
    const char* seekText = m_listAhead.empty() ? timeText : m_listAhead.back()->front()->timeText;
    CopyText(m_Command.seekTime, sizeof m_Command.seekTime, seekText);
    SetCommand(m_Command);
    m_Command.isSeek = false;
    LeaveReRequest(frameTime, forward);
}

bool CQMyFile::Seek(const platform::SYSTEMTIME& time, MediaElementOrientations /*orientation*/) {
    std::lock_guard<platform::CriticalSection> lock(m_csFrame);
    if (!m_bOnFile || m_mapGOP.empty()) return false;
    platform::FILETIME ft = 0;
    if (!platform::SystemTimeToFileTime(&time, &ft)) return false;
    const auto it = m_mapGOP.lower_bound({static_cast<int64_t>(ft), 0});
    if (it == m_mapGOP.end() || it->first.frameTime != static_cast<int64_t>(ft)) return false;
    m_itGOP = it;
    return true;
}

bool CQMyFile::ReadAgainFrom(int64_t frameTime, MediaElementOrientations orientation) {
    std::lock_guard<platform::CriticalSection> lock(m_csFrame);
    const bool forward = orientation == MediaElementOrientations_Forward;
    // The group being received is read again from its key frame, after the groups below.
    if (!m_bOnFile && m_nLiveTaken > 0) {
        for (auto it = m_listPending.begin(); m_nLiveTaken > 0; ++it, --m_nLiveTaken)
            m_nDuration += (*it)->duration;
    }
    const int64_t start = StartHolding(frameTime, forward);
    if (start == INT64_MIN) return false;

    if (m_bOnFile) {
        m_itGOP = m_mapGOP.lower_bound({start, 0});
        return true;
    }
    // The group being read is read again from its key frame, and the groups read since the
    // start come back in front of it, the latest read first.
    if (!m_listAhead.empty()) m_listAhead.front()->Reset();
    while (!m_listBehind.empty()) {
        const frameheader1* first = m_listBehind.back()->front();
        if (first == nullptr || (forward ? first->frameTime < start : first->frameTime > start))
            break;
        m_listBehind.back()->Reset();
        m_nDuration += first->groupDuration;
        m_listAhead.push_front(std::move(m_listBehind.back()));
        m_listBehind.pop_back();
    }
    return true;
}

bool CQMyFile::SetPos(int percent) {
    std::lock_guard<platform::CriticalSection> lock(m_csFrame);
    if (m_mapGOP.empty()) return true;
    double x = static_cast<double>(m_mapGOP.size()) * percent / 100.0;
    auto it = m_mapGOP.begin();
    for (;;) {
        x -= 1.0;
        if (x <= 0) break;
        ++it;
        if (it == m_mapGOP.end()) break;
    }
    // Groups that start together (key frames of several channels at one moment) are entered
    // at the first of them, so that no channel loses its key frame.
    while (it != m_mapGOP.end() && it != m_mapGOP.begin() &&
           std::prev(it)->first.frameTime == it->first.frameTime)
        --it;
    m_itGOP = it;
    return true;
}

int64_t CQMyFile::GetLastFrameDateTime() {
    std::lock_guard<platform::CriticalSection> lock(m_csFrame);
    if (m_mapGOP.empty()) return -1;
    const frameheader1* last = m_mapGOP.rbegin()->second->back();
    return last != nullptr ? last->frameTime : -1;
}
