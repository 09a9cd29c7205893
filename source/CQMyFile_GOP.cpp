#include "source/CQMyFile_GOP.h"

#include <cstddef>
#include <cstring>

#include "platform/files.h"
#include "platform/trace.h"
#include "source/CQMyFile.h"

static_assert(offsetof(frameheader1, payloadPos) == VARNEL_FRAME_HEADER_SIZE,
              "the received bytes come first in a record");

CQMyFile_GOP::CQMyFile_GOP() : m_szPath{} {}

CQMyFile_GOP::CQMyFile_GOP(const char* path) : CQMyFile_GOP() {
    if (path != nullptr) {
        const size_t n = strnlen(path, sizeof m_szPath - 1);
        std::memcpy(m_szPath, path, n);
    }
}

CQMyFile_GOP::~CQMyFile_GOP() {
    if (!m_vecFrames.empty()) platform::DeleteFile(m_szPath);
}

void CQMyFile_GOP::AddHeader(const frameheader1* header) {
    // Every record of a group names the group's file; a group made without a path takes it
    // from its first record.
    if (m_vecFrames.empty() && m_szPath[0] == '\0') {
        const size_t n = strnlen(header->filePath, sizeof m_szPath - 1);
        std::memcpy(m_szPath, header->filePath, n);
    }
    const bool atEnd = IsEnd();
    Stored stored;
    std::memcpy(stored.received, header, sizeof stored.received);
    stored.payloadPos = header->payloadPos;
    stored.groupDuration = header->groupDuration;
    m_vecFrames.push_back(stored);
    Restore(stored, m_last);
    if (m_vecFrames.size() == 1) m_first = m_last;
    if (atEnd) m_nCursor = 0;
}

void CQMyFile_GOP::Restore(const Stored& stored, frameheader1& out) const {
    std::memset(&out, 0, sizeof out);
    std::memcpy(&out, stored.received, sizeof stored.received);
    out.payloadPos = stored.payloadPos;
    out.groupDuration = stored.groupDuration;
    std::memcpy(out.filePath, m_szPath, sizeof out.filePath);
    CQMyFile::FrameTime2SystemTime(out.frameTime, out.timeText);
}

bool CQMyFile_GOP::GetNexFrame(frameheader1& out) {
    if (m_vecFrames.empty()) {
        platform::OutputDebugStringA("\r\n");
        return true;
    }
    if (IsEnd()) m_nCursor = 0;
    Restore(m_vecFrames[m_nCursor++], out);
    return true;
}

bool CQMyFile_GOP::GetNextFrameHeader(frameheader1* out) const {
    if (!IsEnd()) Restore(m_vecFrames[m_nCursor], *out);
    return true;
}

bool CQMyFile_GOP::StandsAlone(std::set<int32_t>& keyed) const {
    for (const Stored& stored : m_vecFrames) {
        frameheader1 rec;
        std::memcpy(&rec, stored.received, sizeof stored.received);
        if (rec.kind != VARNEL_KIND_VIDEO) continue;
        if (rec.keyFrame == 1) {
            keyed.insert(rec.channel);
        } else if (keyed.count(rec.channel) == 0) {
            return false;
        }
    }
    return true;
}

bool CQMyFile_GOP::Reset() {
    m_nCursor = 0;
    return true;
}

frameheader1* CQMyFile_GOP::front() {
    return m_vecFrames.empty() ? nullptr : &m_first;
}

frameheader1* CQMyFile_GOP::back() {
    return m_vecFrames.empty() ? nullptr : &m_last;
}

CQMyFile_GOP::operator frameheader1() const {
    frameheader1 rec;
    std::memset(&rec, 0, sizeof rec);
    if (!m_vecFrames.empty()) rec = m_first;
    return rec;
}

void CQMyFile_GOP::Detach() {
    m_vecFrames.clear();
    m_vecFrames.shrink_to_fit();
    m_nCursor = 0;
}
