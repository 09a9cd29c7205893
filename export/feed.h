// The export's view of a stream source: the same request and the same record splitter as
// playback, but every record goes straight to a sink instead of into groups on disk.
#pragma once

#include <cstdint>

#include "source/CQMyFile.h"

namespace exporter {

// How a feed ended.
enum class FeedEnd {
    Mark,    // the recorder's end record
    Closed,  // the connection ended after a whole record (or before any)
    Broken,  // in the middle of a record, or with a length no record can have
};

// Takes the records of a feed, on the thread that delivers them: the one that opens the feed
// for the bytes that come with the response head, then the feed's receive thread.
class RecordSink {
public:
    virtual ~RecordSink() = default;
    // A video or sound record (end records are not handed on); its payload is valid during
    // the call only.
    virtual void Take(const frameheader1& rec, const uint8_t* payload) = 0;
    // Once, when the feed has ended by itself (not when its owner closes it).
    virtual void Ended(FeedEnd how) = 0;
};

class RecordFeed : public CQMyFile {
public:
    explicit RecordFeed(RecordSink& sink) : sink_(sink) {}
    ~RecordFeed() override { Close(); }

protected:
    void WriteFile(RecordPtr rec) override;
    void CheckContent(unsigned char* data, int size) override;
    bool RecvEnd() override;

private:
    void End(FeedEnd how);

    RecordSink& sink_;
    bool ended_ = false;  // on the delivering thread only
};

}  // namespace exporter
