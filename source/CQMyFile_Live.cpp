// Stream source: forward play reads the group still being received.
//
// Deliberately beyond reading finished groups alone: a group is finished by the key frame
// after it, so a recorder that sends at the pace of the recording (one behind a link no
// faster than the stream) would hold every picture back by a whole group, a second or two
// before the first picture and after every new request. Forward play takes the records of
// the group being received as they come; the group is still written and listed when it is
// finished, read up to where the reader got, so that reverse play and turns find it like
// any other.
#include <algorithm>
#include <cstring>
#include <iterator>

#include "platform/trace.h"
#include "source/CQMyFile.h"

const frameheader1* CQMyFile::NextLiveRecord() {
    std::lock_guard<platform::CriticalSection> lock(m_csFrame);
    if (m_bOnFile || !m_listAhead.empty() || m_nLiveTaken >= m_listPending.size()) return nullptr;
    {
        std::lock_guard<platform::CriticalSection> cmdLock(m_csCommand);
        if (m_Command.orientation != MediaElementOrientations_Forward) return nullptr;
    }
    const frameheader1& first = *m_listPending.front();
    if (first.kind != VARNEL_KIND_VIDEO || first.keyFrame != 1) return nullptr;
    if (m_nLiveTaken == 0) {
        // A group the recorder sends again (after a seek, or a new request) is held here
        // already and will be dropped when finished: it is not played twice.
        const auto same = [&first](const GOPPtr& held) {
            const frameheader1* f = held->front();
            return f != nullptr && f->frameTime == first.frameTime && f->channel == first.channel;
        };
        for (const auto* list : {&m_listAhead, &m_listBehind})
            for (const GOPPtr& group : *list)
                if (same(group)) return nullptr;
    }
    return std::next(m_listPending.begin(), static_cast<long>(m_nLiveTaken))->get();
}

bool CQMyFile::TakeLiveRecord(frameheader1* rec, unsigned char*& data) {
    std::lock_guard<platform::CriticalSection> lock(m_csFrame);
    const frameheader1* next = NextLiveRecord();
    if (next == nullptr) return false;
    *rec = *next;
    rec->payload = nullptr;
    unsigned char* buffer = ReadBufferFor(next->length);
    if (next->length > 0) std::memcpy(buffer, next->payload, static_cast<size_t>(next->length));
    data = buffer;
    ++m_nLiveTaken;
    m_nDuration -= next->duration;
    if (m_nMaxBuffer >= 1) FlowControlStep();
    return true;
}

void CQMyFile::ListFinishedGroup(GOPPtr group) {
    // Under m_csFrame. The reader has taken the first m_nLiveTaken records already.
    const size_t taken = m_nLiveTaken;
    m_nLiveTaken = 0;
    if (m_bFinishingEarly) group->MarkEarly();
    if (taken == 0) {
        m_listAhead.push_back(std::move(group));
        return;
    }
    frameheader1 skipped{};
    for (size_t i = 0; i < taken && !group->IsEnd(); ++i) group->GetNexFrame(skipped);
    if (group->IsEnd() || taken >= group->size()) {
        group->Reset();
        m_listBehind.push_back(std::move(group));
    } else {
        m_listAhead.push_back(std::move(group));
    }
}

void CQMyFile::FinishLiveGroup() {
    // Under m_csFrame: a group partly played from is finished as far as it came, so that a
    // turn or a re-seek finds the pictures played.
    if (m_nLiveTaken > 0 && !m_listPending.empty()) {
        m_bFinishingEarly = true;
        PrepareGroupFile(*m_listPending.front());
        WriteGOPToFile();
        m_bFinishingEarly = false;
    }
    m_nLiveTaken = 0;
}

void CQMyFile::TakeWholeGroup(GOPPtr& held, GOPPtr whole) {
    // Under m_csFrame. The group held was finished early at a turn, while it was being played
    // as it came; sent again whole, it takes that one's place, read as far as that one was, so
    // that the rest of its pictures is not lost.
    frameheader1 next{};
    const bool partly = !held->IsEnd() && held->GetNextFrameHeader(&next) &&
                        next.frameTime != held->front()->frameTime;
    if (partly) {
        frameheader1 peek{};
        while (!whole->IsEnd() && whole->GetNextFrameHeader(&peek) &&
               !(peek.frameTime == next.frameTime && peek.channel == next.channel &&
                 peek.kind == next.kind))
            whole->GetNexFrame(peek);
    }
    KeepSharedFile(*held);
    platform::TraceF("CQMyFile: group sent again whole, in place of its early part\r\n");
    held = std::move(whole);
}

void CQMyFile::KeepSharedFile(CQMyFile_GOP& leaving) {
    // Under m_csFrame. A group's file may hold the group written before it too: it goes with
    // the last group that names it.
    const frameheader1* first = leaving.front();
    if (first == nullptr) return;
    const auto shares = [&](const GOPPtr& g) {
        return g.get() != &leaving && g->front() != nullptr &&
               std::strncmp(g->front()->filePath, first->filePath, sizeof first->filePath) == 0;
    };
    if (std::any_of(m_listAhead.begin(), m_listAhead.end(), shares) ||
        std::any_of(m_listBehind.begin(), m_listBehind.end(), shares))
        leaving.Detach();
}

void CQMyFile::DropEarlyEdge() {
    // Under m_csFrame, after a turn to forward. The early part of the last group held would be
    // read, and the reader gone past it, before the recorder sends the group whole: it is let
    // go, so that the rest is asked from its key frame and read in its place.
    if (m_listAhead.empty() || !m_listAhead.back()->Early()) return;
    KeepSharedFile(*m_listAhead.back());
    m_listAhead.pop_back();
}
