// The reader thread: takes frame records from the stream source and queues each channel's
// video frames as packets for the decoders, as far as the queues' bounds allow.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "element/CQMediaElement.h"
#include "platform/wintime.h"

using element::packet_ext;
using ffmpeg::PacketPtr;

namespace {
constexpr int64_t kTicksPerMs = 10000;  // frame times are in 100 ns units
// How long the reader waits for room in the queues before it looks again; the decoders wake
// it sooner as they take packets (50 packets queued are two seconds of play).
constexpr auto kRoomWait = std::chrono::milliseconds(50);
// How long the reader waits when the source has nothing: the groups it takes are a second or
// more of recording, and after the end of the feed nothing more comes at all.
constexpr auto kEmptyWait = std::chrono::milliseconds(5);
constexpr auto kEndedWait = std::chrono::milliseconds(50);
}  // namespace

bool CQMediaElement::PacketQueueFull() {
    // Reading stops as soon as one channel's queue is at its bound, not when all are: a
    // channel in a hole of its recording gets nothing while the others come, and waiting for
    // its queue to fill too would buffer the others for as long as the hole lasts (gigabytes
    // for a hole of hours). What is not read yet waits in the source's group files.
    bool full = false;
    for (const auto& [channel, clock] : m_mapClock) {
        const element::ChannelLoad& load = m_mapLoad.at(channel);
        full = full || load.packets >= kPacketQueueLimit || load.bytes >= kPacketBytesLimit;
    }
    if (!full || !m_bFrameStep || m_bInputEnded) return full;
    // Paused, a channel at its bound does not drain, and a frame step waits for every
    // channel's next picture: a channel with nothing queued whose next group comes after the
    // full one's in the files would never be read, and the step would wait for nothing. So
    // reading goes on for it, up to a bound that still holds for a hole of any length.
    bool nothingQueued = false;
    std::lock_guard<std::mutex> hold(m_mtxPacket);  // for the decoding flags
    for (const auto& [channel, clock] : m_mapClock) {
        const element::ChannelLoad& load = m_mapLoad.at(channel);
        if (load.packets >= kStepReadFactor * kPacketQueueLimit ||
            load.bytes >= kStepReadFactor * kPacketBytesLimit)
            return true;
        nothingQueued = nothingQueued || (load.packets == 0 && load.pictures == 0 &&
                                          !load.decoding && !load.reversed);
    }
    return !nothingQueued;
}

PacketPtr CQMediaElement::MakeVideoPacket(const frameheader1& rec, const unsigned char* data,
                                          bool keyOnly) {
    PacketPtr packet = ffmpeg::MakePacket();
    if (!packet || av_new_packet(packet.get(), rec.length) < 0) return nullptr;
    std::memcpy(packet->data, data, static_cast<size_t>(rec.length));
    packet->stream_index = rec.kind;
    if (rec.keyFrame == 1) packet->flags |= AV_PKT_FLAG_KEY;
    packet->duration = keyOnly ? rec.groupDuration : rec.duration;
    uint8_t* side =
        av_packet_new_side_data(packet.get(), AV_PKT_DATA_NEW_EXTRADATA, sizeof(packet_ext));
    if (side == nullptr) return nullptr;
    packet_ext ext{};
    ext.channel = rec.channel;
    ext.frameTime = rec.frameTime;
    std::memcpy(ext.codec, rec.codec, sizeof rec.codec);
    ext.codec[sizeof rec.codec] = '\0';
    std::memcpy(side, &ext, sizeof ext);
    return packet;
}

bool CQMediaElement::ReadMyFile() {
    frameheader1 rec;
    while (Active()) {
        // A turn made after the recorder ended the feed asks for the rest of the range here,
        // off the clock's thread: it waits for a connection.
        m_MyFile.ServeReRequest();
        m_MyFile.IsEnd();
        if (m_mapClock.empty() || PacketQueueFull()) {
            std::unique_lock<std::mutex> hold(m_mtxPacket);
            m_cvRoom.wait_for(hold, kRoomWait);
            continue;
        }
        std::unique_lock<std::mutex> reading(m_mtxRead);
        if (m_nReseek != 0) {
            reading.unlock();
            platform::Sleep(1);
            continue;
        }
        uint64_t generation;
        {
            std::lock_guard<std::mutex> hold(m_mtxPacket);
            generation = m_nGeneration;
        }
        unsigned char* data = nullptr;
        const bool keyOnly = m_bOnlyKeyFrame;
        if (!m_MyFile.TakeFrame(&rec, data, keyOnly,
                                m_nOrientation == 1 ? MediaElementOrientations_Forward
                                                    : MediaElementOrientations_Rewind)) {
            reading.unlock();
            if (m_MyFile.IsEnd() && !m_bInputEnded) {
                m_bInputEnded = true;
                m_cvDecode.notify_all();
            }
            // Nothing buffered yet. Asking again at once would keep a processor busy for as
            // long as the network is slower than the decoders, taking it from them.
            std::unique_lock<std::mutex> hold(m_mtxPacket);
            m_cvRoom.wait_for(hold, m_bInputEnded ? kEndedWait : kEmptyWait);
            continue;
        }
        // Kept here for the clock's thread, which must not wait for the source's lock: the
        // source holds it while it writes a group to disk, and every channel's pictures would
        // come late together.
        m_llLastFrameTime = m_MyFile.GetLastFrameDateTime();
        auto clock = m_mapClock.find(rec.channel);
        if (clock == m_mapClock.end() || rec.kind != VARNEL_KIND_VIDEO) continue;
        PacketPtr packet = MakeVideoPacket(rec, data, keyOnly);
        if (!packet) continue;
        {
            std::lock_guard<std::mutex> hold(m_mtxPacket);
            if (generation != m_nGeneration) continue;
            if (m_llBaseTime == -1)
                m_llBaseTime = rec.frameTime;
            else if (m_nOrientation == 1)
                m_llBaseTime = std::min(m_llBaseTime, rec.frameTime);
            else
                m_llBaseTime = std::max(m_llBaseTime, rec.frameTime);
            const int64_t pts = std::llabs(rec.frameTime - m_llBaseTime) / kTicksPerMs;
            packet->pts = packet->dts = pts;
            auto queue = m_mapPacket.find(rec.channel);
            if (queue == m_mapPacket.end()) continue;
            element::ChannelLoad& load = m_mapLoad.at(rec.channel);
            ++load.packets;
            load.bytes += packet->size;
            queue->second.push_back(std::move(packet));
        }
        m_cvDecode.notify_all();
    }
    return true;
}
