#include "feed.h"

#include <algorithm>

namespace recorder {

ChannelCursor::ChannelCursor(std::shared_ptr<const Recording> recording, int channel)
    : m_rec(std::move(recording)), m_channel(channel) {}

void ChannelCursor::Start(int64_t begin, int64_t end, bool forward) {
    m_begin = begin;
    m_end = end;
    m_forward = forward;
    m_closed = false;
    const Recording& r = *m_rec;
    const long groups = static_cast<long>(r.groups.size());
    // The group holding a time: the last whose key frame is at or before it (the first
    // group for times before the recording).
    const auto holding = [&](int64_t t) {
        long g = 0;
        while (g + 1 < groups && r.GroupTime(g + 1) <= t) ++g;
        return g;
    };
    const bool empty =
        groups == 0 || begin > end || begin > r.video.back().time || end < r.video.front().time;
    if (empty) {
        // Nothing left in either direction: rewind counts down, so its cursor starts below.
        m_next = forward ? 0 : -1;
        m_last = forward ? -1 : 0;
        m_closed = true;
        return;
    }
    if (forward) {
        m_next = holding(begin);
        m_last = holding(end);
    } else {
        m_next = holding(end);
        m_last = holding(begin);
    }
}

void ChannelCursor::Group(size_t g, bool keyOnly, bool noAudio, std::deque<FeedItem>& out) const {
    const Recording& r = *m_rec;
    const size_t first = r.groups[g], last = r.GroupEnd(g);
    const int orientation = m_forward ? 1 : 0;
    // Forward play stops at the end time; rewind sends whole groups.
    const auto inRange = [&](const MediaFrame& f) { return !m_forward || f.time <= m_end; };
    if (keyOnly) {
        int total = 0;
        for (size_t i = first; i < last && inRange(r.video[i]); ++i) total += r.video[i].durationMs;
        out.push_back({&r.video[first], total, m_channel, orientation});
        return;
    }
    // Sound goes with forward play only, between the pictures of its time.
    const int64_t from = r.video[first].time;
    const int64_t to = last < r.video.size() ? r.video[last].time : r.end;
    auto a = std::lower_bound(r.audio.begin(), r.audio.end(), from,
                              [](const MediaFrame& f, int64_t t) { return f.time < t; });
    const bool sound = m_forward && !noAudio;
    for (size_t i = first; i < last && inRange(r.video[i]); ++i) {
        out.push_back({&r.video[i], r.video[i].durationMs, m_channel, orientation});
        const int64_t next = i + 1 < last ? r.video[i + 1].time : to;
        for (; sound && a != r.audio.end() && a->time < next && inRange(*a); ++a)
            out.push_back({&*a, a->durationMs, m_channel, orientation});
    }
}

bool ChannelCursor::NextGroup(bool keyOnly, bool noAudio, std::deque<FeedItem>& out) {
    const Recording& r = *m_rec;
    const long groups = static_cast<long>(r.groups.size());
    const bool more = m_forward ? m_next <= m_last : m_next >= m_last;
    if (more) {
        Group(static_cast<size_t>(m_next), keyOnly, noAudio, out);
        m_next += m_forward ? 1 : -1;
        return true;
    }
    if (m_closed) return false;
    m_closed = true;
    if (m_next < 0 || m_next >= groups) return false;  // the recording has no group beyond
    const MediaFrame& key = r.video[r.groups[static_cast<size_t>(m_next)]];
    out.push_back({&key, key.durationMs, m_channel, m_forward ? 1 : 0});
    return true;
}

void Feed::Add(std::shared_ptr<const Recording> recording, int channel) {
    m_channels.push_back({ChannelCursor(std::move(recording), channel), {}, false});
}

void Feed::Start(int64_t begin, int64_t end, bool forward) {
    m_begin = begin;
    m_end = end;
    m_forward = forward;
    m_current = -1;
    for (Channel& c : m_channels) {
        c.cursor.Start(begin, end, forward);
        c.queued.clear();
        c.done = false;
    }
}

bool Feed::Next(bool keyOnly, bool noAudio, FeedItem& out) {
    for (Channel& c : m_channels)
        if (c.queued.empty() && !c.done) c.done = !c.cursor.NextGroup(keyOnly, noAudio, c.queued);
    int pick = -1;
    if (m_forward) {
        // Frame by frame, earliest first; pictures before sound of the same time.
        for (int i = 0; i < static_cast<int>(m_channels.size()); ++i) {
            const auto& q = m_channels[i].queued;
            if (q.empty()) continue;
            if (pick < 0) {
                pick = i;
                continue;
            }
            const MediaFrame* a = q.front().frame;
            const MediaFrame* b = m_channels[pick].queued.front().frame;
            if (a->time < b->time || (a->time == b->time && a->kind < b->kind)) pick = i;
        }
    } else {
        // Whole groups, latest first, each in its own forward order.
        if (m_current >= 0 && !m_channels[m_current].queued.empty()) {
            pick = m_current;
        } else {
            for (int j = 0; j < static_cast<int>(m_channels.size()); ++j) {
                const auto& q = m_channels[j].queued;
                if (q.empty()) continue;
                if (pick < 0 || q.front().frame->time > m_channels[pick].queued.front().frame->time)
                    pick = j;
            }
        }
        m_current = pick;
    }
    if (pick < 0) return false;
    out = m_channels[pick].queued.front();
    m_channels[pick].queued.pop_front();
    return true;
}

}  // namespace recorder
