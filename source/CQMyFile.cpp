// Stream source: lifecycle, frame times and the feed parser.
#include "source/CQMyFile.h"

#include <algorithm>
#include <cstring>

#include "platform/files.h"
#include "platform/trace.h"

namespace {

constexpr int kHeaderSize = VARNEL_FRAME_HEADER_SIZE;
constexpr uint32_t kScratchSize = 81920;

}  // namespace

command MakeCommand() {
    command cmd;
    std::memset(&cmd, 0, sizeof cmd);
    cmd.orientation = MediaElementOrientations_Forward;
    return cmd;
}

void CopyText(char* field, size_t size, const char* text) {
    if (size == 0) return;
    const size_t n = text != nullptr ? strnlen(text, size - 1) : 0;
    if (n > 0) std::memcpy(field, text, n);
    field[n] = '\0';
}

bool SameCommand(const command& a, const command& b) {
    // Field by field rather than byte by byte: padding is not guaranteed to survive copies.
    return a.play == b.play && a.orientation == b.orientation && a.noAudio == b.noAudio &&
           a.onlyKeyFrame == b.onlyKeyFrame && a.isSeek == b.isSeek &&
           std::memcmp(a.seekTime, b.seekTime, sizeof a.seekTime) == 0;
}

void CQMyFile::RecordDeleter::operator()(frameheader1* rec) const {
    if (rec == nullptr) return;
    delete[] rec->payload;
    delete rec;
}

void CQMyFile::FileCloser::operator()(std::FILE* file) const {
    if (file != nullptr) std::fclose(file);
}

CQMyFile::CQMyFile()
    : m_Command(MakeCommand()),
      m_SentCommand(MakeCommand()),
      m_msScratch(kScratchSize),
      m_itGOP(m_mapGOP.end()) {}

CQMyFile::~CQMyFile() {
    // Owners close first. One that did not would leave a receive thread running into a
    // destroyed object and working files on disk, so the close happens here instead.
    bool open;
    {
        std::lock_guard<platform::CriticalSection> lock(m_csFrame);
        open = m_bFeedOpen || m_pWriteFile || m_pReadFile || m_szWritePath[0] != '\0' ||
               !m_listPending.empty() || !m_listAhead.empty() || !m_listBehind.empty() ||
               !m_mapGOP.empty();
    }
    if (open) {
        m_nMode = 1;
        Close();
    }
}

// ---- Frame times ----------------------------------------------------------------------------

int64_t CQMyFile::SystemTime2FrameTime(const platform::SYSTEMTIME& time) {
    platform::FILETIME ft = 0;
    if (!platform::SystemTimeToFileTime(&time, &ft)) return 0;
    return static_cast<int64_t>(ft);
}

platform::SYSTEMTIME CQMyFile::IndexTime(int year, int month, int day, int hour, int minute,
                                         int second, int millisecond) {
    platform::SYSTEMTIME st{};
    st.wYear = static_cast<uint16_t>(year + 1600);
    st.wMonth = static_cast<uint16_t>(month);
    st.wDay = static_cast<uint16_t>(day);
    st.wHour = static_cast<uint16_t>(hour);
    st.wMinute = static_cast<uint16_t>(minute);
    st.wSecond = static_cast<uint16_t>(second);
    st.wMilliseconds = static_cast<uint16_t>(millisecond);
    return st;
}

void CQMyFile::FrameTime2SystemTime(int64_t frameTime, platform::SYSTEMTIME& time) {
    const auto ft = static_cast<platform::FILETIME>(frameTime);
    platform::FileTimeToSystemTime(&ft, &time);
}

void CQMyFile::FrameTime2SystemTime(int64_t frameTime, char* text) {
    platform::SYSTEMTIME st{};
    FrameTime2SystemTime(frameTime, st);
    char full[64];
    std::snprintf(full, sizeof full, "%04d/%02d/%02d %02d:%02d:%02d.%03d", st.wYear - 1600,
                  st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);
    std::memcpy(text, full, 23);
    text[23] = '\0';
}

// ---- Feed ----------------------------------------------------------------------------------

bool CQMyFile::OpenURL(const char* url, bool second) {
    {
        std::lock_guard<platform::CriticalSection> lock(m_csFrame);
        m_nGOPCount = 0;
        m_itGOP = m_mapGOP.end();
    }
    m_bSecondSource = second;
    m_nDuration = 0;
    m_nMode = 1;
    if (url == nullptr || url[0] == '\0') return true;
    m_nPlayDataState = PlayDataStates_Opened;
    m_bEnd = false;
    m_bRecvEnd = false;
    m_bFeedBroken = false;
    m_bFeedOpen = true;
    m_strURL = url;
    m_bReRequest = false;
    m_msPayload.Clear();
    m_msRecv.Clear();
    Open(url);
    return true;
}

bool CQMyFile::OpenFile(const char* path) {
    m_nMode = 2;
    m_pLocalFile.reset(path != nullptr ? std::fopen(path, "rb") : nullptr);
    return true;
}

bool CQMyFile::RecvEnd() {
    // The last group has no key frame after it to close it: the end of the connection does,
    // so that the whole recording plays. Not when the owner is closing the feed, whose groups
    // are about to be discarded.
    if (!Closing()) FinishPendingGroup();
    m_bRecvEnd = true;
    if (m_bOnFile) {
        // The recorded file is complete.
        std::lock_guard<platform::CriticalSection> lock(m_csFrame);
        m_pWriteFile.reset();
    }
    return true;
}

bool CQMyFile::IsEnd() {
    if (m_bReRequest) return false;  // the feed goes on with the request a turn left
    if (m_bEnd) return true;
    std::lock_guard<platform::CriticalSection> lock(m_csFrame);
    if (m_bOnFile) {
        if (m_bRecvEnd && m_itGOP == m_mapGOP.end() && !m_bAutoRepeat) {
            m_bEnd = true;
            return true;
        }
        return false;
    }
    if (!m_bRecvEnd || !m_listAhead.empty()) return false;
    if (m_nPlayDataState < 100) m_nPlayDataState = PlayDataStates_End;
    m_bEnd = true;
    return true;
}

void CQMyFile::DiscardAll() {
    std::lock_guard<platform::CriticalSection> lock(m_csFrame);
    m_pReadFile.reset();
    m_szReadPath[0] = '\0';
    m_pWriteFile.reset();
    m_itGOP = m_mapGOP.end();
    m_mapGOP.clear();  // each group deletes its file
    m_listAhead.clear();
    m_listBehind.clear();
    // A group dropped before it was listed leaves no file, but the file being written may
    // still be on disk when no group took it (an on-file feed whose first group failed).
    if (m_szWritePath[0] != '\0') platform::DeleteFile(m_szWritePath);
    m_szWritePath[0] = '\0';
    m_listPending.clear();
    m_nLiveTaken = 0;
    m_nPendingBytes = 0;
    m_pCurrent.reset();
    m_msPayload.Clear();
    m_msRecv.Clear();
    m_nDuration = 0;
    m_nParseState = 0;
}

bool CQMyFile::Close() {
    if (m_nMode == 1) {
        platform::OutputDebugStringA("QMyFile::Close(void) -- \r\n");
        CQHttpClient::Close();  // the receive thread has ended when this returns
        m_bReRequest = false;
        DiscardAll();
        m_bFeedOpen = false;
    } else if (m_nMode == 2) {
        m_pLocalFile.reset();
    }
    return true;
}

// ---- Parser --------------------------------------------------------------------------------

void CQMyFile::ParseHeader(frameheader1& rec, unsigned char* header, int /*unused*/) {
    std::memcpy(&rec, header, kHeaderSize);
    switch (rec.kind) {
        case VARNEL_KIND_VIDEO:
        case VARNEL_KIND_AUDIO:
            m_nPlayDataState = PlayDataStates_Data;
            break;
        // The end itself is raised by CheckContent once the last group is finished, so that a
        // reader never sees the end with that group still unlisted.
        case VARNEL_KIND_END_101:
            m_nPlayDataState = PlayDataStates_End101;
            break;
        case VARNEL_KIND_END_3:
            m_nPlayDataState = PlayDataStates_End;
            break;
        default:
            platform::OutputDebugStringA("\r\n");
            break;
    }
}

void CQMyFile::CheckContent(unsigned char* data, int size) {
    if (m_bFeedBroken || data == nullptr || size <= 0) return;
    const long long pos = m_msRecv.GetPosition();
    m_msRecv.SetPosition(m_msRecv.GetLength());
    m_msRecv.WriteBytes(data, size);
    m_msRecv.SetPosition(pos);

    for (;;) {
        if (m_nParseState == 0) {
            if (m_msRecv.GetLength() - m_msRecv.GetPosition() < kHeaderSize) break;
            m_pCurrent.reset(new frameheader1());
            unsigned char header[kHeaderSize];
            m_msRecv.ReadBytes(header, kHeaderSize);
            ParseHeader(*m_pCurrent, header, 0);
            FrameTime2SystemTime(m_pCurrent->frameTime, m_pCurrent->timeText);
            if (m_pCurrent->length < 0 || m_pCurrent->length > kMaxPayloadLength) {
                // Deliberately not skipped: the format has no marker to find the next record
                // by, so a stream that has lost its framing cannot be resynchronised, and
                // feeding the following bytes as headers would hand garbage to the decoder.
                // The feed ends here with state 3, as an end mark would, after the complete
                // records before it.
                platform::TraceF("CQMyFile: frame length %d out of range, feed ended\r\n",
                                 m_pCurrent->length);
                m_pCurrent.reset();
                FinishPendingGroup();
                m_bFeedBroken = true;
                m_nPlayDataState = PlayDataStates_End;
                m_bEnd = true;
                m_msRecv.Clear();
                return;
            }
            m_nParseState = 1;
        }
        // Reading the payload of m_pCurrent, moved in blocks through the scratch buffer.
        const long long available = m_msRecv.GetLength() - m_msRecv.GetPosition();
        const long long needed = m_pCurrent->length - m_msPayload.GetLength();
        const long long move = std::min(available, needed);
        for (long long done = 0; done < move;) {
            const int chunk = static_cast<int>(std::min<long long>(move - done, kScratchSize));
            m_msRecv.ReadBytes(m_msScratch.ToUChar(), chunk);
            m_msPayload.WriteBytes(m_msScratch.ToUChar(), chunk);
            done += chunk;
        }
        if (available < needed) break;
        const int32_t kind = m_pCurrent->kind;
        if (kind == VARNEL_KIND_END_101 || kind == VARNEL_KIND_END_3) {
            // The end mark closes the last group as a key frame would have. It is no frame:
            // once groups are finished at the end, a mark kept in one would reach readers as
            // a record without a picture and pass for the recording's last frame time.
            m_pCurrent.reset();
            FinishPendingGroup();
            m_bEnd = true;
        } else {
            WriteFile(std::move(m_pCurrent));
        }
        m_msPayload.Clear();
        m_nParseState = 0;

        const long long left = m_msRecv.GetLength() - m_msRecv.GetPosition();
        if (left == 0) break;
        if (left < kHeaderSize) break;
    }
    if (m_msRecv.GetLength() == m_msRecv.GetPosition()) {
        m_msRecv.Clear();
    } else if (m_msRecv.GetPosition() > 0) {
        // Keep only the partial header: a feed whose chunks keep ending inside headers would
        // otherwise grow this stream without end.
        m_msRecv.Remove(0, static_cast<int>(m_msRecv.GetPosition()));
        m_msRecv.SetPosition(0);
    }
}
