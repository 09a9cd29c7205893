// Stream source: record intake into groups of pictures and their working files.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>

#include "platform/files.h"
#include "platform/trace.h"
#include "source/CQMyFile.h"

namespace {

bool IsVideoKeyFrame(const frameheader1& rec) {
    return rec.kind == VARNEL_KIND_VIDEO && rec.keyFrame == 1;
}

}  // namespace

bool CQMyFile::MakeGroupFileName(const frameheader1& key) {
    platform::SYSTEMTIME st{};
    FrameTime2SystemTime(key.frameTime, st);
    char timeText[64];
    std::snprintf(timeText, sizeof timeText, "%04d%02d%02d %02d_%02d_%02d_%03d", st.wYear - 1600,
                  st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);
    const int n =
        std::snprintf(m_szWritePath, sizeof m_szWritePath, "%s/%s__%d", m_strSaveFolder.c_str(),
                      timeText, static_cast<int32_t>(platform::GetTickCount()));
    if (m_bOnFile) platform::TraceF("%s\r\n", timeText);
    // A name that does not fit is not opened: a cut name could hit another file.
    return n > 0 && n < static_cast<int>(sizeof m_szWritePath);
}

bool CQMyFile::CreateGroupFile() {
    // Names are only unique to the millisecond, and the main and the FOS source usually share
    // a folder and record key frames at the same times: both would build the same name in the
    // same tick and write over each other, so that one camera's frames were read back as the
    // other's. The file is therefore created exclusively, and a name already taken gets a
    // number no other file of this process has, so every source keeps pictures that belong to
    // its own camera.
    static std::atomic<uint32_t> discriminator{0};
    const std::string base = m_szWritePath;
    for (int attempt = 0; attempt < 16; ++attempt) {
        if (attempt > 0) {
            const int n = std::snprintf(m_szWritePath, sizeof m_szWritePath, "%s_%u", base.c_str(),
                                        discriminator.fetch_add(1) + 1);
            if (n <= 0 || n >= static_cast<int>(sizeof m_szWritePath)) {
                errno = ENAMETOOLONG;
                break;
            }
        }
        m_pWriteFile.reset(std::fopen(m_szWritePath, "wbx"));
        if (m_pWriteFile || errno != EEXIST) break;
    }
    if (m_pWriteFile) return true;
    const int error = errno;
    platform::TraceF("open fail errno = %d reason = %s \n", error, std::strerror(error));
    m_szWritePath[0] = '\0';
    return false;
}

void CQMyFile::PrepareGroupFile(const frameheader1& nameFrom) {
    if (m_bOnFile) {
        if (m_pWriteFile) return;  // the one file of the feed takes every group
        bool named;
        if (!m_strWriteFileName.empty()) {
            named = m_strWriteFileName.size() < sizeof m_szWritePath;
            if (named) std::strcpy(m_szWritePath, m_strWriteFileName.c_str());
        } else {
            named = MakeGroupFileName(nameFrom);
        }
        if (!named || !CreateGroupFile()) platform::OutputDebugStringA("\r\n");
        return;
    }
    if (m_pWriteFile && m_nGOPCount < 1) {
        m_nGOPCount += 1;
        return;
    }
    m_nGOPCount = 0;
    m_pWriteFile.reset();
    if (MakeGroupFileName(nameFrom)) {
        CreateGroupFile();
    } else {
        platform::TraceF("open fail errno = %d reason = %s \n", ENAMETOOLONG,
                         std::strerror(ENAMETOOLONG));
        m_szWritePath[0] = '\0';
    }
    m_nGOPCount += 1;
}

void CQMyFile::FinishPendingGroup() {
    std::lock_guard<platform::CriticalSection> lock(m_csFrame);
    if (m_listPending.empty()) return;
    PrepareGroupFile(*m_listPending.front());
    WriteGOPToFile();
}

void CQMyFile::WriteFile(RecordPtr rec) {
    std::lock_guard<platform::CriticalSection> lock(m_csFrame);

    // Records the recorder still sends in the old direction after a change of direction are
    // dropped while the unread groups lie ahead of them.
    if (!m_listAhead.empty() && !m_listPending.empty()) {
        const frameheader1* front = m_listAhead.front()->front();
        if (front != nullptr && front->frameTime != -1) {
            const int64_t p = m_listPending.front()->frameTime;
            const int64_t f = front->frameTime;
            MediaElementOrientations orientation;
            {
                std::lock_guard<platform::CriticalSection> cmdLock(m_csCommand);
                orientation = m_Command.orientation;
            }
            // Another channel's group that starts at the same time as the first one unread
            // belongs to the new direction too (several channels' key frames fall together):
            // refused, that channel lost the whole group, at random, as the reader had taken
            // the one before or not.
            const bool tie = p == f && m_listPending.front()->channel != front->channel;
            const bool accept = orientation == MediaElementOrientations_Rewind    ? p < f || tie
                                : orientation == MediaElementOrientations_Forward ? p > f || tie
                                                                                  : false;
            if (!accept) {
                m_msPayload.Clear();
                return;
            }
        }
    }

    // A group starts with its key frame. Pictures before one (the rest of a group played
    // from while it came and finished early at a turn, or a feed that starts inside a group)
    // cannot be decoded on their own and would pass for a group's key frame.
    if (m_listPending.empty() && rec->kind == VARNEL_KIND_VIDEO && rec->keyFrame != 1) {
        m_msPayload.Clear();
        return;
    }

    if (rec->length > 0) {
        rec->payload = new unsigned char[rec->length];
        std::memcpy(rec->payload, m_msPayload.ToUChar(), rec->length);
    }
    rec->groupDuration = 0;

    if (m_listPending.empty()) {
        if (IsVideoKeyFrame(*rec)) rec->groupDuration = rec->duration;
    } else if (rec->kind != VARNEL_KIND_VIDEO) {
        // audio and end marks join the group unchanged
    } else if (rec->keyFrame != 1) {
        // Durations are whatever the feed says: a corrupt one near the 32-bit bounds must not
        // overflow the sum, which stops at the bound instead.
        int32_t& total = m_listPending.front()->groupDuration;
        total = static_cast<int32_t>(std::clamp<int64_t>(int64_t{total} + rec->duration,
                                                         std::numeric_limits<int32_t>::min(),
                                                         std::numeric_limits<int32_t>::max()));
    } else {
        // A key frame closes the pending records into a finished group.
        rec->groupDuration = rec->duration;
        if (!IsVideoKeyFrame(*m_listPending.front())) platform::OutputDebugStringA("\r\n");
        PrepareGroupFile(*rec);
        WriteGOPToFile();
    }

    const int32_t kind = rec->kind;
    const int32_t duration = rec->duration;
    m_nPendingBytes += rec->length;
    m_listPending.push_back(std::move(rec));
    if (kind == VARNEL_KIND_VIDEO) m_nDuration += duration;
    // Records with no key frame after them (a feed of sound alone, or a group far longer than
    // any real one) would otherwise wait here with their payloads for as long as the feed
    // lasts: past these bounds they are finished as a group of their own.
    if (m_listPending.size() >= kMaxPendingRecords || m_nPendingBytes >= kMaxPendingBytes) {
        PrepareGroupFile(*m_listPending.front());
        WriteGOPToFile();
    }
    if (!m_bOnFile) FlowControlStep();
}

void CQMyFile::WriteGOPToFile() {
    std::lock_guard<platform::CriticalSection> lock(m_csFrame);
    if (m_listPending.empty()) return;

    if (!m_pWriteFile) {
        // No file to hold the group (a missing save folder, usually): it is dropped rather
        // than listed with payloads nobody can read back.
        platform::TraceF("CQMyFile: group of %d records dropped, no file\r\n",
                         static_cast<int>(m_listPending.size()));
        m_listPending.clear();
        m_nLiveTaken = 0;
        m_nPendingBytes = 0;
        return;
    }

    auto group = std::make_unique<CQMyFile_GOP>(m_szWritePath);
    const int32_t firstOrientation = m_listPending.front()->orientation;
    bool written = true;
    for (RecordPtr& rec : m_listPending) {
        if (rec->orientation != firstOrientation) platform::OutputDebugStringA("\r\n");
        std::FILE* file = m_pWriteFile.get();
        written = written && std::fwrite(rec.get(), VARNEL_FRAME_HEADER_SIZE, 1, file) == 1;
        // long is 64-bit here, so ftell holds any position of the file.
        rec->payloadPos = std::ftell(file);
        std::strcpy(rec->filePath, m_szWritePath);
        if (rec->length > 0) {
            written = written && std::fwrite(rec->payload, rec->length, 1, file) == 1;
        }
        delete[] rec->payload;
        rec->payload = nullptr;
        group->AddHeader(rec.get());
    }
    // The reader opens the file by its path through a handle of its own.
    written = std::fflush(m_pWriteFile.get()) == 0 && written;
    m_listPending.clear();
    m_nPendingBytes = 0;

    if (!written) {
        // A short write (disk full) would hand out frames with missing bytes.
        platform::TraceF("CQMyFile: group dropped, write to %s failed\r\n", m_szWritePath);
        m_nLiveTaken = 0;
        if (m_bOnFile) group->Detach();  // the file stays for the groups already indexed
        return;
    }

    if (m_bOnFile) {
        const bool wasEmpty = m_mapGOP.empty();
        const frameheader1* first = group->front();
        // A group the recorder sends again starts at the same time with the same channel's
        // key frame; another channel's key frame at the same moment starts a group of its own.
        for (auto it = m_mapGOP.lower_bound({first->frameTime, 0});
             it != m_mapGOP.end() && it->first.frameTime == first->frameTime; ++it) {
            if (it->second->front()->channel != first->channel) continue;
            // Not indexed. Its file is the one file of the feed, which the indexed groups
            // still read, so it must not be deleted.
            group->Detach();
            return;
        }
        const auto added =
            m_mapGOP.emplace(GOPKey{first->frameTime, m_nGOPOrder++}, std::move(group)).first;
        // A reader that has read every group so far waits at the end of the index; it goes on
        // with the group that has just come, or it would never read another frame of a feed
        // that arrives slower than it plays.
        if (wasEmpty || m_itGOP == m_mapGOP.end()) m_itGOP = added;
    } else if (firstOrientation == 0 || firstOrientation == 1) {
        // A seek goes on from the group holding its time, which is one held here already: the
        // recorder sends it again, and listed twice it would be played twice.
        const frameheader1* first = group->front();
        const auto same = [first](const GOPPtr& held) {
            const frameheader1* f = held->front();
            return f != nullptr && f->frameTime == first->frameTime && f->channel == first->channel;
        };
        for (auto* list : {&m_listAhead, &m_listBehind}) {
            const auto held = std::find_if(list->begin(), list->end(), same);
            if (held == list->end()) continue;
            m_nLiveTaken = 0;
            if ((*held)->size() >= group->size()) {
                platform::TraceF("CQMyFile: group sent again, dropped\r\n");
            } else {
                TakeWholeGroup(*held, std::move(group));
            }
            return;
        }
        ListFinishedGroup(std::move(group));
    }
    // Otherwise the group is destroyed here, and with it its file.
}
