// The stream source: an HTTP client that cuts a recorder's playback response into frame
// records, gathers them into groups of pictures written to working files on disk, and hands
// frames back to the playback engines one at a time.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <list>
#include <map>
#include <memory>
#include <string>

#include "foundation/memory_stream.h"
#include "net/http/http_client.h"
#include "platform/sync.h"
#include "platform/wintime.h"
#include "source/CQMyFile_GOP.h"
#include "varnel/varnel.h"

// Short header form, as read field by field from a file: the first 60 bytes of frameheader1.
// In a file it is stored packed, 56 bytes, followed by its payload.
struct frameheader {
    int32_t kind;
    char codec[8];
    int32_t reserved0;
    int64_t frameTime;
    int32_t duration;
    int32_t audioTime;
    int32_t length;
    int32_t keyFrame;
    int32_t unknown[5];
};
static_assert(offsetof(frameheader, frameTime) == 16 && offsetof(frameheader, unknown) == 40);

// The command record sent to the recorder. Compared and copied as a whole; every byte not in
// a field stays zero, so always start from a zero-filled record (MakeCommand).
struct command {
    bool play;
    MediaElementOrientations orientation;
    bool noAudio;
    bool onlyKeyFrame;
    bool isSeek;
    char seekTime[32];
};
// All zero, orientation forward.
command MakeCommand();
// Copies text into a field of size bytes, cut to fit, always NUL-terminated.
void CopyText(char* field, size_t size, const char* text);
bool SameCommand(const command& a, const command& b);

// Data-feed state of a stream source.
enum PlayDataStates : int32_t {
    PlayDataStates_None = 0,      // constructed, no feed opened
    PlayDataStates_Opened = 1,    // OpenURL opened a feed
    PlayDataStates_Data = 2,      // a video or audio record arrived
    PlayDataStates_End = 3,       // end mark 255, or the feed ended with nothing left to read
    PlayDataStates_End101 = 101,  // end mark 129
};

class CQMyFile : public QNetwork::QProtocol::HTTP::CQHttpClient {
public:
    // A header announcing more payload than this is taken as a corrupt feed: far above any
    // real access unit, small enough that a broken length cannot exhaust memory.
    static constexpr int32_t kMaxPayloadLength = 64 * 1024 * 1024;
    // Groups kept behind the reader for a change of direction before the oldest are deleted.
    static constexpr size_t kMaxBehindGroups = 100;
    // Records waiting for the key frame that closes their group are finished as a group of
    // their own at either bound: 20 s of 25 fps video with its sound, or 64 MiB of payload.
    static constexpr size_t kMaxPendingRecords = 1024;
    static constexpr int64_t kMaxPendingBytes = 64 * 1024 * 1024;

    CQMyFile();
    // Owners call Close() first; a source still open is closed here.
    ~CQMyFile() override;
    // A source owns a connection, a thread and files: it is never copied.
    CQMyFile(const CQMyFile&) = delete;
    CQMyFile& operator=(const CQMyFile&) = delete;

    // ---- Feed ----
    // Opens the network feed; an empty url opens nothing and leaves the state unchanged.
    bool OpenURL(const char* url, bool second);
    // Opens a local file of short-form records for GetNextFrame(frameheader&, ...).
    bool OpenFile(const char* path);
    // Ends the feed, waits for the receive thread and deletes every file the source wrote.
    bool Close() override;
    bool IsEnd();
    bool IsRecvEnd() const { return m_bRecvEnd; }
    PlayDataStates GetPlayDataState() const { return m_nPlayDataState; }
    int32_t GetDuration() const { return m_nDuration; }
    void SetChannel(int channels) { m_nChannel = channels; }

    // ---- Configuration, before OpenURL ----
    void SetOnFile(bool onFile) { m_bOnFile = onFile; }
    void SetWriteFileName(const char* name) { m_strWriteFileName = name ? name : ""; }
    void SetSaveFolder(const char* folder) { m_strSaveFolder = folder ? folder : ""; }
    void SetAutoRepeat(bool repeat) { m_bAutoRepeat = repeat; }
    void SetMaxBuffer(int first, int second);

    // ---- Commands to the recorder ----
    // Sends m_Command when it differs from the record last sent.
    bool SetCommand(const command& cmd);
    bool SetPlay();
    bool SetPause();
    bool SetSpeed_Oreietion(MediaElementOrientations orientation, bool noAudio, bool onlyKeyFrame,
                            bool send);
    bool SetSeek(const char* time, MediaElementOrientations orientation);

    // ---- Reading ----
    // In every reading operation data points into the source's read buffer, valid until the
    // next reading operation. A record with kind 0 and length 0 means no frame.
    bool GetNextFrame(frameheader1* rec, unsigned char*& data,
                      MediaElementOrientations orientation);
    bool GetNextFrame_Key(frameheader1* rec, unsigned char*& data,
                          MediaElementOrientations orientation);
    // The next frame of stream mode without taking it; rec stays as it was when none waits.
    bool GetNextFrameHeader(frameheader1* rec);
    // Next short-form record of the file opened by OpenFile.
    bool GetNextFrame(frameheader& rec, unsigned char*& data);

    // ---- Positioning ----
    // Change of direction in stream mode.
    void Seek(const char* timeText, int64_t frameTime, MediaElementOrientations orientation);
    // On-file mode: the group that starts exactly at time (year + 1600, as frame times read);
    // false, and nothing moved, when none does.
    bool Seek(const platform::SYSTEMTIME& time, MediaElementOrientations orientation);
    bool SetPos(int percent);
    int64_t GetLastFrameDateTime();

    // ---- Frame time conversions ----
    static int64_t SystemTime2FrameTime(const platform::SYSTEMTIME& time);
    static void FrameTime2SystemTime(int64_t frameTime, platform::SYSTEMTIME& time);
    // The recorder's calendar time as the index and the frame-time conversions read it: the
    // same instant 1600 years on (frame times count from the year 1, file times from 1601;
    // 1600 years are whole calendar cycles, so every other field stays as it is).
    static platform::SYSTEMTIME IndexTime(int year, int month, int day, int hour, int minute,
                                          int second, int millisecond);
    // "YYYY/MM/DD hh:mm:ss.mmm" with the calendar year; buffer holds at least 24 bytes (text
    // of years outside 1000..9999 is cut to 23 characters).
    static void FrameTime2SystemTime(int64_t frameTime, char* text);

    // The command record being prepared and the one last sent. The setters above change
    // m_Command under m_csCommand; prefer them to writing fields directly.
    command m_Command;
    command m_SentCommand;

protected:
    // Seek without its test: turns to orientation even when the last command already named it
    // (a host's speed change may have carried the new direction ahead of the turn).
    void Turn(const char* timeText, int64_t frameTime, MediaElementOrientations orientation,
              bool everyPictureBack = false);
    static void KeepTiesInOrder(std::list<std::unique_ptr<CQMyFile_GOP>>& groups);

public:
    // Turns the direction of play at the picture of frameTime: the groups held here are put
    // in the new order from the group that holds that picture (in every channel), which is
    // read again from its key frame, and the recorder is asked to go on beyond them. The
    // start of that group, or INT64_MIN when none held here starts at or before the picture.
    int64_t TurnAt(int64_t frameTime, MediaElementOrientations orientation,
                   bool everyPictureBack = false);
    // Reads again, in the same direction, from the group that holds the picture of frameTime
    // in every channel (stream mode: from the groups kept behind the reader; on-file mode:
    // from the index). False when no such group is held here.
    bool ReadAgainFrom(int64_t frameTime, MediaElementOrientations orientation);
    // A turn made after the recorder has ended the feed cannot be carried by a command line:
    // the recorder no longer reads them. The turn then leaves a new request for the rest of
    // the range in the new direction, from beyond the groups held here, and this makes it (a
    // new connection; the groups held stay). Called by the thread that reads, outside every
    // lock of the source: it waits for the connection. Does nothing when no request waits;
    // the source reports no end while one does.
    void ServeReRequest();

protected:
    // Frees a record together with its payload copy.
    struct RecordDeleter {
        void operator()(frameheader1* rec) const;
    };
    using RecordPtr = std::unique_ptr<frameheader1, RecordDeleter>;
    struct FileCloser {
        void operator()(std::FILE* file) const;
    };
    using FilePtr = std::unique_ptr<std::FILE, FileCloser>;
    using GOPPtr = std::unique_ptr<CQMyFile_GOP>;
    // The on-file index: groups by the time of their first frame and, for groups that start
    // at the same time (key frames of several channels at one moment), by their order of
    // arrival, which is the order they must be read in.
    struct GOPKey {
        int64_t frameTime;
        uint64_t order;
        auto operator<=>(const GOPKey&) const = default;
    };
    using GOPMap = std::map<GOPKey, GOPPtr>;

    // Forward play of the group being received: its next record not taken yet (null when
    // none may be taken), taking it, listing the group once finished, and finishing it early
    // at a turn.
    const frameheader1* NextLiveRecord();
    bool TakeLiveRecord(frameheader1* rec, unsigned char*& data);
    void ListFinishedGroup(GOPPtr group);
    void FinishLiveGroup();
    void TakeWholeGroup(GOPPtr& held, GOPPtr whole);
    void KeepSharedFile(CQMyFile_GOP& leaving);
    void DropEarlyEdge();
    void DropUnlessStandingAlone();

    bool RecvEnd() override;
    void CheckContent(unsigned char* data, int size) override;
    void ParseHeader(frameheader1& rec, unsigned char* header, int unused);
    // Record intake: takes ownership of rec, whose payload is in m_msPayload. A subclass that
    // wants the records themselves rather than groups of pictures on disk takes them here.
    virtual void WriteFile(RecordPtr rec);
    void WriteGOPToFile();
    bool ReadFrame(frameheader1* rec, unsigned char*& data, bool keyOnly);
    void CheckBufferSize();
    void ChangeOrientation(MediaElementOrientations) {}

    // Sends one command line on the connection, when there is one.
    void SendLine(const char* text, int length);

    int32_t m_nChannel = 0;
    int32_t m_nMode = 1;
    FilePtr m_pLocalFile;
    bool m_bSecondSource = false;
    int32_t m_nMaxBuffer = 0;
    int32_t m_nMaxBuffer2 = 30000;
    std::unique_ptr<unsigned char[]> m_pReadBuffer;
    int32_t m_nReadBufferSize = 0;
    std::string m_strWriteFileName;
    bool m_bOnFile = false;
    bool m_bAutoRepeat = false;
    platform::CriticalSection m_csCommand;
    // Read by the engine's threads without a lock, so atomic.
    std::atomic<int32_t> m_nDuration{0};
    std::atomic<bool> m_bEnd{true};
    std::atomic<PlayDataStates> m_nPlayDataState{PlayDataStates_None};
    std::atomic<bool> m_bRecvEnd{false};
    QIO::CQMemoryStream m_msPayload;
    QIO::CQMemoryStream m_msRecv;
    QIO::CQMemoryStream m_msScratch;
    int32_t m_nParseState = 0;
    RecordPtr m_pCurrent;
    // Set once a header announced an impossible length: the rest of the feed is ignored.
    bool m_bFeedBroken = false;
    // OpenURL opened a connection that Close has not ended yet.
    bool m_bFeedOpen = false;
    std::string m_strURL;        // the request of the feed, as opened
    std::string m_strReRequest;  // under m_csFrame: the request a turn left for ServeReRequest
    std::atomic<bool> m_bReRequest{false};
    uint64_t m_nTurns = 0;  // under m_csFrame: turns made, to find one made during a request
    std::list<RecordPtr> m_listPending;
    size_t m_nLiveTaken = 0;         // records of m_listPending the reader has taken already
    bool m_bFinishingEarly = false;  // marks the group written as finished early
    int64_t m_nPendingBytes = 0;     // payload bytes held by m_listPending
    GOPMap m_mapGOP;
    GOPMap::iterator m_itGOP;
    uint64_t m_nGOPOrder = 0;  // arrival count of the indexed groups
    FilePtr m_pWriteFile;
    int32_t m_nGOPCount = 0;
    char m_szWritePath[256] = {};
    FilePtr m_pReadFile;
    platform::CriticalSection m_csFrame;
    std::string m_strSaveFolder = "/pp";
    char m_szReadPath[256] = {};
    std::list<GOPPtr> m_listAhead;
    std::list<GOPPtr> m_listBehind;

private:
    // Where reading goes on so that every channel's group holding the picture of frameTime is
    // read (under m_csFrame): INT64_MIN when no group held here starts at or before it.
    int64_t StartHolding(int64_t frameTime, bool forward);
    void FlowControlStep();
    // Flow control's decision from the groups held now (under m_csFrame): true lets the
    // recorder send.
    bool FlowControlPlays() const;
    bool MakeGroupFileName(const frameheader1& key);
    // Creates m_szWritePath as a new file, under a unique variant of the name when it is taken.
    bool CreateGroupFile();
    // Makes m_pWriteFile the file for the group about to be finished.
    void PrepareGroupFile(const frameheader1& nameFrom);
    // Writes the pending records out as a finished group, as a following key frame would.
    void FinishPendingGroup();
    void DiscardAll();
    // Under m_csFrame and m_csCommand, at a turn (seekTime when nothing is held that way):
    // leaves the request for the rest of the range when the recorder has ended the feed and
    // the range goes on that way.
    void LeaveReRequest(int64_t seekTime, bool forward);
    unsigned char* ReadBufferFor(int32_t length);
};
