// The order in which a recording goes out: groups of pictures from the key frame at or before
// the begin time up to the end time (forward), or whole groups from the one holding the end
// time back to the one holding the begin time (rewind), each closed by the key frame that
// opens the next group in the direction of play, so that a client which shows a group only
// once the next key frame has come can show the whole range. Several channels are merged by
// time.
#pragma once

#include <deque>
#include <memory>
#include <vector>

#include "media.h"

namespace recorder {

struct FeedItem {
    const MediaFrame* frame = nullptr;
    int durationMs = 0;  // a key frame standing for its group carries the group's play time
    int channel = 0;
    int orientation = 1;
};

class ChannelCursor {
public:
    ChannelCursor(std::shared_ptr<const Recording> recording, int channel);
    void Start(int64_t begin, int64_t end, bool forward);
    // Appends the next group (key frames only, or without sound, as asked now); false when
    // nothing is left.
    bool NextGroup(bool keyOnly, bool noAudio, std::deque<FeedItem>& out);

private:
    void Group(size_t g, bool keyOnly, bool noAudio, std::deque<FeedItem>& out) const;
    std::shared_ptr<const Recording> m_rec;
    int m_channel;
    int64_t m_begin = 0, m_end = 0;
    bool m_forward = true;
    long m_next = 0, m_last = -1;  // group to send next, and the last of the range
    bool m_closed = false;         // the closing key frame has gone (or there is none)
};

class Feed {
public:
    void Add(std::shared_ptr<const Recording> recording, int channel);
    // Also used for a seek: what is queued is dropped, and sending starts over.
    void Start(int64_t begin, int64_t end, bool forward);
    // The next record to send, or false at the end of the range.
    bool Next(bool keyOnly, bool noAudio, FeedItem& out);
    bool Forward() const { return m_forward; }

private:
    struct Channel {
        ChannelCursor cursor;
        std::deque<FeedItem> queued;
        bool done = false;
    };
    std::vector<Channel> m_channels;
    bool m_forward = true;
    int64_t m_begin = 0, m_end = 0;
    int m_current = -1;  // rewind: the channel whose group is going out
};

}  // namespace recorder
