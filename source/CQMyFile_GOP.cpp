#include "source/CQMyFile_GOP.h"

#include <cstring>

#include "platform/files.h"
#include "platform/trace.h"

CQMyFile_GOP::CQMyFile_GOP() : m_szPath{} {
    m_itCursor = m_listFrames.end();
}

CQMyFile_GOP::CQMyFile_GOP(const char* path) : CQMyFile_GOP() {
    if (path != nullptr) {
        const size_t n = strnlen(path, sizeof m_szPath - 1);
        std::memcpy(m_szPath, path, n);
    }
}

CQMyFile_GOP::~CQMyFile_GOP() {
    if (!m_listFrames.empty()) platform::DeleteFile(m_listFrames.front().filePath);
}

void CQMyFile_GOP::AddHeader(const frameheader1* header) {
    const bool atEnd = IsEnd();
    m_listFrames.push_back(*header);
    if (atEnd) m_itCursor = m_listFrames.begin();
}

bool CQMyFile_GOP::GetNexFrame(frameheader1& out) {
    if (m_listFrames.empty()) {
        platform::OutputDebugStringA("\r\n");
        return true;
    }
    if (IsEnd()) m_itCursor = m_listFrames.begin();
    out = *m_itCursor;
    ++m_itCursor;
    return true;
}

bool CQMyFile_GOP::GetNextFrameHeader(frameheader1* out) const {
    if (!IsEnd()) *out = *m_itCursor;
    return true;
}

bool CQMyFile_GOP::StandsAlone(std::set<int32_t>& keyed) const {
    for (const frameheader1& rec : m_listFrames) {
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
    m_itCursor = m_listFrames.begin();
    return true;
}

frameheader1* CQMyFile_GOP::front() {
    return m_listFrames.empty() ? nullptr : &m_listFrames.front();
}

frameheader1* CQMyFile_GOP::back() {
    return m_listFrames.empty() ? nullptr : &m_listFrames.back();
}

CQMyFile_GOP::operator frameheader1() const {
    frameheader1 rec;
    std::memset(&rec, 0, sizeof rec);
    if (!m_listFrames.empty()) rec = m_listFrames.front();
    return rec;
}

void CQMyFile_GOP::Detach() {
    m_listFrames.clear();
    m_itCursor = m_listFrames.end();
}
