// The element's view of its stream source: one request carrying several channels, whose
// records the source's intake must not drop where two channels have key frames at the same
// time.
#pragma once

#include <algorithm>
#include <cstring>
#include <mutex>

#include "source/CQMyFile.h"

namespace element {

class ElementSource : public CQMyFile {
public:
    // A new feed starts at a record boundary.
    bool OpenURL(const char* url, bool second) {
        {
            std::lock_guard<platform::CriticalSection> frameLock(m_csFrame);
            m_nHeaderHave = 0;
            m_nPayloadLeft = 0;
            m_bSplitLost = false;
        }
        return CQMyFile::OpenURL(url, second);
    }

    // The limits change while the feed runs (speed changes); the intake reads them in its
    // flow-control step, under the frame lock.
    void SetMaxBuffer(int first, int second) {
        std::lock_guard<platform::CriticalSection> frameLock(m_csFrame);
        CQMyFile::SetMaxBuffer(first, second);
    }

    // The next frame as GetNextFrame or, keyOnly, GetNextFrame_Key give it. False (rec
    // zero-filled) when none is buffered.
    bool TakeFrame(frameheader1* rec, unsigned char*& data, bool keyOnly,
                   MediaElementOrientations orientation) {
        std::memset(rec, 0, sizeof *rec);
        data = nullptr;
        if (keyOnly)
            GetNextFrame_Key(rec, data, orientation);
        else
            GetNextFrame(rec, data, MediaElementOrientations_Forward);
        return rec->length > 0 && data != nullptr;
    }

protected:
    // The intake drops an arriving record unless the group being received lies beyond the
    // front unread group in the direction of play: its guard against records the recorder
    // still sends in an old direction. With several channels, key frames of two channels at
    // the same time make two groups that start at the same time, and while the first of them
    // is the front unread group (the reader has caught up with the feed, as it has at the
    // start of every play), every record that arrives is dropped, cutting each channel in the
    // middle of its groups until the reader has taken that group. Such a tie is never a
    // record of an old direction, which lies strictly on the far side of the front group: so
    // the records are handed to the intake one at a time, and for a record that completes
    // while the two times tie, the front group's time is hidden from the guard (the value the
    // guard skips on) and put back at once. The frame lock is held throughout, so no reader
    // sees the hidden time.
    void CheckContent(unsigned char* data, int size) override {
        std::lock_guard<platform::CriticalSection> frameLock(m_csFrame);
        while (size > 0 && data != nullptr) {
            if (m_bFeedBroken || m_bSplitLost) {
                CQMyFile::CheckContent(data, size);
                return;
            }
            int piece;
            bool completes = false;
            if (m_nHeaderHave < kHeaderBytes) {
                piece = std::min(size, kHeaderBytes - m_nHeaderHave);
                std::memcpy(m_header + m_nHeaderHave, data, static_cast<size_t>(piece));
                m_nHeaderHave += piece;
                if (m_nHeaderHave == kHeaderBytes) {
                    int32_t length = 0;
                    std::memcpy(&length, m_header + kLengthAt, sizeof length);
                    // The intake ends the feed on an impossible length: all goes to it as is.
                    if (length < 0 || length > kMaxPayloadLength) m_bSplitLost = true;
                    m_nPayloadLeft = length;
                    completes = length == 0;
                }
            } else {
                piece = std::min(size, m_nPayloadLeft);
                m_nPayloadLeft -= piece;
                completes = m_nPayloadLeft == 0;
            }
            if (completes) {
                CompleteRecord(data, piece);
                m_nHeaderHave = 0;
            } else {
                CQMyFile::CheckContent(data, piece);
            }
            data += piece;
            size -= piece;
        }
    }

private:
    static constexpr int kHeaderBytes = VARNEL_FRAME_HEADER_SIZE;
    static constexpr int kLengthAt = 32;

    void CompleteRecord(unsigned char* data, int size) {
        frameheader1* front = nullptr;
        if (!m_listAhead.empty() && !m_listPending.empty()) {
            front = m_listAhead.front()->front();
            if (front != nullptr &&
                (front->frameTime == -1 || front->frameTime != m_listPending.front()->frameTime))
                front = nullptr;
        }
        if (front == nullptr) {
            CQMyFile::CheckContent(data, size);
        } else {
            const int64_t frontTime = front->frameTime;
            front->frameTime = -1;
            CQMyFile::CheckContent(data, size);
            front->frameTime = frontTime;
        }
    }

    unsigned char m_header[kHeaderBytes] = {};
    int m_nHeaderHave = 0;
    int m_nPayloadLeft = 0;
    bool m_bSplitLost = false;
};

}  // namespace element
