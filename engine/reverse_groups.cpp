#include "engine/reverse_groups.h"

#include <algorithm>
#include <map>

#include "platform/trace.h"

namespace engine {
namespace {
// The groups whose access units are kept: the one being handed out, the one being collected
// and those the decoder has already been given.
constexpr size_t kPacketGroupsKept = 4;
}  // namespace

ReverseGroups::ReverseGroups(PictureDecoder::Options options, size_t bytesMax, bool mirror)
    : m_redecoder(options), m_bytesMax(bytesMax), m_mirror(mirror) {}

size_t ReverseGroups::BytesOf(const AVFrame& frame) {
    size_t bytes = 0;
    for (const AVBufferRef* buf : frame.buf)
        if (buf != nullptr) bytes += buf->size;
    return bytes;
}

void ReverseGroups::Hold(std::deque<HeldPicture>& into, HeldPicture picture, bool front) {
    m_bytes += BytesOf(*picture.frame);
    if (front)
        into.push_front(std::move(picture));
    else
        into.push_back(std::move(picture));
}

void ReverseGroups::AddPacket(const AVPacket& packet, const video_ext& record) {
    if (m_packets.empty() || (packet.flags & AV_PKT_FLAG_KEY) != 0) {
        m_packets.emplace_back();
        m_packets.back().keyTime = record.frameTime;
        while (m_packets.size() > kPacketGroupsKept) m_packets.pop_front();
    }
    PacketPtr copy = MakePacket();
    if (!copy || av_packet_ref(copy.get(), &packet) < 0) return;
    m_packets.back().units.push_back(std::move(copy));
    m_packets.back().records.push_back(record);
}

void ReverseGroups::AddPicture(HeldPicture picture) {
    if (!picture.frame) return;
    if (!m_group.empty() && picture.hasRecord && m_group.back().hasRecord &&
        picture.record.frameTime <= m_group.back().record.frameTime)
        MirrorGroup();
    if (m_group.empty()) {
        m_groupKeyTime = picture.hasRecord ? picture.record.frameTime : -1;
        m_groupFirstPts = picture.frame->pts;
        m_groupCut = false;
    }
    Hold(m_group, std::move(picture), false);
    // Nothing waits to be shown that could make room: the group is longer than the bound,
    // and its earliest pictures go; they are decoded again once the rest has been shown.
    while (m_bytes > m_bytesMax && m_outgoing.empty() && m_group.size() > 1) {
        m_bytes -= BytesOf(*m_group.front().frame);
        m_group.pop_front();
        m_groupCut = true;
    }
}

void ReverseGroups::EndGroup() {
    if (!m_group.empty()) MirrorGroup();
}

void ReverseGroups::MirrorGroup() {
    const int64_t lastPts = m_group.back().frame->pts;
    const int64_t earliestKept = m_group.front().hasRecord ? m_group.front().record.frameTime : 0;
    // Mirrored within the group's span: the gaps between pictures stay the frame durations,
    // and the pts keep growing from one group to the next without a hole, so that the first
    // picture of a group follows the last of the one before by its frame duration.
    const int64_t shift = m_nextPts != kNoNextPts ? m_groupFirstPts - m_nextPts : 0;
    m_nextPts = lastPts - shift + std::max<int64_t>(m_group.back().frame->pkt_duration, 0);
    for (auto it = m_group.rbegin(); it != m_group.rend(); ++it) {
        if (m_mirror) it->frame->pts = m_groupFirstPts + lastPts - it->frame->pts - shift;
        m_outgoing.push_back(std::move(*it));
    }
    if (m_groupCut) {
        Redo redo;
        redo.keyTime = m_groupKeyTime;
        redo.before = earliestKept;
        redo.firstPts = m_groupFirstPts;
        redo.lastPts = lastPts;
        redo.shift = shift;
        m_redos.push_back(redo);
        m_outgoing.emplace_back();  // marks where the group's earlier segments go
    }
    m_group.clear();
    m_groupCut = false;
}

int64_t ReverseGroups::NextTime() const {
    if (m_outgoing.empty()) return kNone;
    const HeldPicture& next = m_outgoing.front();
    if (!next.frame) return m_redos.front().before - 1;
    return next.hasRecord ? next.record.frameTime : kNone + 1;
}

bool ReverseGroups::TakeOutgoing(HeldPicture& out) {
    while (!m_outgoing.empty() && !m_outgoing.front().frame) DecodeSegment();
    if (m_outgoing.empty()) return false;
    out = std::move(m_outgoing.front());
    m_outgoing.pop_front();
    m_bytes -= BytesOf(*out.frame);
    return true;
}

void ReverseGroups::DecodeSegment() {
    Redo& redo = m_redos.front();
    const auto finish = [this] {
        m_outgoing.pop_front();  // the marker
        m_redos.pop_front();
    };
    const auto group = std::find_if(m_packets.begin(), m_packets.end(),
                                    [&](const Packets& p) { return p.keyTime == redo.keyTime; });
    if (group == m_packets.end() || group->units.empty() ||
        !m_redecoder.Open(group->records.front().codec)) {
        platform::TraceF("reverse: the earlier pictures of a group cannot be decoded again\r\n");
        finish();
        return;
    }
    std::map<int64_t, size_t> unitOfPts;
    for (size_t i = 0; i < group->units.size(); ++i) unitOfPts[group->units[i]->pts] = i;
    // As many of the latest pictures before the part already shown as the bound has room
    // for, and never none.
    const size_t room = m_bytesMax > m_bytes ? m_bytesMax - m_bytes : 0;
    std::deque<HeldPicture> segment;
    size_t segmentBytes = 0;
    bool reachedKey = false;
    const auto take = [&](FramePtr& frame) {
        const auto unit = unitOfPts.find(frame->pts);
        if (unit == unitOfPts.end()) return;
        const video_ext& record = group->records[unit->second];
        if (record.frameTime >= redo.before) return;
        ++m_redecoded;
        HeldPicture picture{std::move(frame), true, record,
                            static_cast<int32_t>(group->units[unit->second]->duration)};
        frame = MakeFrame();
        segmentBytes += BytesOf(*picture.frame);
        segment.push_back(std::move(picture));
        while (segment.size() > 1 && segmentBytes > room) {
            segmentBytes -= BytesOf(*segment.front().frame);
            segment.pop_front();
        }
    };
    m_redecoder.Flush();
    FramePtr frame = MakeFrame();
    for (const PacketPtr& unit : group->units) {
        if (m_redecoder.Send(*unit) < 0) continue;
        while (frame && m_redecoder.Receive(frame.get()) == 0) take(frame);
    }
    if (m_redecoder.Drain() >= 0)
        while (frame && m_redecoder.Receive(frame.get()) == 0) take(frame);
    m_redecoder.Flush();
    if (segment.empty()) {
        finish();
        return;
    }
    reachedKey = segment.front().record.frameTime <= redo.keyTime;
    redo.before = segment.front().record.frameTime;
    const int64_t firstPts = redo.firstPts, lastPts = redo.lastPts, shift = redo.shift;
    if (reachedKey) finish();
    // Latest first, in front of what follows.
    for (HeldPicture& picture : segment) {
        if (m_mirror) picture.frame->pts = firstPts + lastPts - picture.frame->pts - shift;
        Hold(m_outgoing, std::move(picture), true);
    }
}

void ReverseGroups::Clear() {
    m_group.clear();
    m_outgoing.clear();
    m_redos.clear();
    m_packets.clear();
    m_bytes = 0;
    m_groupCut = false;
    m_nextPts = kNoNextPts;
    m_redecoded = 0;
    m_redecoder.Flush();
}

}  // namespace engine
