// One group of pictures as the stream source stores it: its frame records (key frame first)
// and a cursor over them. A record is kept as its 72 received bytes and where its payload lies:
// the path and the time text, which every record of a group shares or can be told from its
// time, are made again when a record is handed out. On file, every group of a feed stays
// listed for as long as the source lives, and whole 608-byte copies came to 15 MB for each
// channel-hour of 25 pictures a second; these come to 2.2 MB.
#pragma once

#include <cstdint>
#include <set>
#include <vector>

#include "varnel/varnel.h"

class CQMyFile_GOP {
public:
    CQMyFile_GOP();
    // path must fit 256 bytes with its NUL; a longer one is cut.
    explicit CQMyFile_GOP(const char* path);
    // A group owns the file named by its first frame and deletes it when destroyed, so a copy
    // would delete a file that another group still reads: groups are never copied.
    CQMyFile_GOP(const CQMyFile_GOP&) = delete;
    CQMyFile_GOP& operator=(const CQMyFile_GOP&) = delete;
    // Deletes the file named by the first frame's filePath (a missing file is no error).
    ~CQMyFile_GOP();

    // Appends a copy of *header; a cursor at the end moves to the first frame.
    void AddHeader(const frameheader1* header);
    // Copies the frame at the cursor into out and advances; a cursor at the end starts over at
    // the first frame. An empty group copies nothing.
    bool GetNexFrame(frameheader1& out);
    // Copies the frame at the cursor without advancing; nothing when the cursor is at the end.
    bool GetNextFrameHeader(frameheader1* out) const;
    bool IsEnd() const { return m_nCursor >= m_vecFrames.size(); }
    // Cursor back to the first frame (to the end when empty).
    bool Reset();

    // First and last frame, null for an empty group.
    frameheader1* front();
    frameheader1* back();
    frameheader1* GetLastHeader() { return back(); }
    explicit operator frameheader1*() { return front(); }
    // Copy of the first frame, zero-filled for an empty group.
    explicit operator frameheader1() const;

    size_t size() const { return m_vecFrames.size(); }
    // True when every channel's video in the group follows a key frame of that channel, in
    // the group or among the channels in keyed (which gains the group's key frames): such a
    // group decodes without the groups before it.
    bool StandsAlone(std::set<int32_t>& keyed) const;
    const char* GetPath() const { return m_szPath; }
    // Forgets the frames without deleting their file: for a group that shares its file with
    // groups that stay (the single file of the on-file mode).
    void Detach();
    // A group finished before its last frame came (at a turn, while it was played as it came).
    void MarkEarly() { m_bEarly = true; }
    bool Early() const { return m_bEarly; }

private:
    struct Stored {
        unsigned char received[VARNEL_FRAME_HEADER_SIZE];
        int64_t payloadPos;
        int32_t groupDuration;
    };
    void Restore(const Stored& stored, frameheader1& out) const;

    size_t m_nCursor = 0;
    std::vector<Stored> m_vecFrames;
    // The first and the last record whole, for the callers that look at them in place.
    frameheader1 m_first{};
    frameheader1 m_last{};
    char m_szPath[256];
    bool m_bEarly = false;
};
