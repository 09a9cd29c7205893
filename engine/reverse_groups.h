// Smooth reverse: the recorder sends the groups of a rewind latest first, each group forward.
// The pictures of a group are decoded forward, held as the decoder gave them, and handed out
// latest first, so that every picture is shown in falling time. Used by one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "engine/ffmpeg_ptr.h"
#include "engine/picture_decoder.h"
#include "engine/video_state.h"

namespace engine {

struct HeldPicture {
    FramePtr frame;  // as decoded (converted only when it is queued to be shown)
    bool hasRecord = false;
    video_ext record{};
    int32_t duration = 0;  // carried along for the caller
};

class ReverseGroups {
public:
    // Decoded pictures held at most: the group being collected and the one being handed out.
    // A 1080p 4:2:0 picture takes 3.1 MB, so this holds 64 of them: a 2 s group at 25 fps
    // (50 pictures) is handed out while the next one is decoded. A longer group keeps only
    // its latest pictures and decodes its earlier ones again, in segments, from its key frame.
    static constexpr size_t kBytesMax = size_t{200} << 20;

    // mirror: the pts grow with the frame time, and are mirrored within each group so that
    // they grow in the order shown; false where they already grow as the frame time falls.
    explicit ReverseGroups(PictureDecoder::Options options, size_t bytesMax = kBytesMax,
                           bool mirror = true);
    void SetBound(size_t bytesMax) { m_bytesMax = bytesMax; }

    // An access unit sent to the decoder, kept (compressed) while its group may have to be
    // decoded again.
    void AddPacket(const AVPacket& packet, const video_ext& record);
    // A decoded picture, in decoding order. A picture earlier than the one before it starts
    // the next group, which completes the one collected so far.
    void AddPicture(HeldPicture picture);
    // Completes the group being collected (the end of the feed, or reverse play ending).
    void EndGroup();

    // Pictures ready to be shown, or segments of a group still to be decoded again.
    bool HasOutgoing() const { return !m_outgoing.empty(); }
    // The frame time of the next picture to show (a segment to decode again counts as just
    // before the part already shown), kNone when nothing is ready.
    static constexpr int64_t kNone = INT64_MIN;
    int64_t NextTime() const;
    // The next picture to show, its pts mirrored within its group's span, so that pts still
    // grow while the frame times fall. Decodes a group's earlier segment first when it is due.
    // False when there is none.
    bool TakeOutgoing(HeldPicture& out);
    // True while the decoder must wait for pictures to be shown before it decodes more.
    bool Full() const { return !m_outgoing.empty() && m_bytes >= m_bytesMax; }
    // Pictures waiting to be shown or collected, for the end of playback to wait for.
    size_t Held() const { return m_outgoing.size() + m_group.size(); }
    size_t BytesHeld() const { return m_bytes; }
    // Pictures a group longer than the bound had to decode again, since the last Clear.
    size_t Redecoded() const { return m_redecoded; }
    // Forgets everything (a flush: what follows starts at a key frame).
    void Clear();

private:
    struct Packets {
        int64_t keyTime = -1;  // frame time of the key frame that starts the group
        std::vector<PacketPtr> units;
        std::vector<video_ext> records;
    };
    struct Redo {
        int64_t keyTime = -1;  // the group's
        int64_t before = 0;    // frame times from here on have been handed out
        int64_t firstPts = 0;  // the group's pts span, for the mirror
        int64_t lastPts = 0;
        int64_t shift = 0;  // taken off the mirrored pts, as for the rest of the group
    };

    static size_t BytesOf(const AVFrame& frame);
    void Hold(std::deque<HeldPicture>& into, HeldPicture picture, bool front);
    void MirrorGroup();
    void DecodeSegment();

    PictureDecoder m_redecoder;
    size_t m_bytesMax;
    bool m_mirror;
    size_t m_bytes = 0;
    std::deque<HeldPicture> m_group;     // being collected, decoding order
    std::deque<HeldPicture> m_outgoing;  // to show, in this order
    int64_t m_groupKeyTime = -1;
    int64_t m_groupFirstPts = 0;
    bool m_groupCut = false;  // its earliest pictures were let go to stay within the bound
    // Where the next group's mirrored pts go on: the pts follow the packets read, and the
    // pictures a turn passes over (read, never shown) would leave their time as a hole.
    int64_t m_nextPts = kNoNextPts;
    static constexpr int64_t kNoNextPts = INT64_MIN;
    std::deque<Redo> m_redos;       // one for each marker (a picture without frame) in m_outgoing
    std::deque<Packets> m_packets;  // the groups in flight, oldest first
    size_t m_redecoded = 0;
};

}  // namespace engine
