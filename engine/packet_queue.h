// A blocking queue of compressed packets between the reader and a decoder.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

#include "engine/ffmpeg_ptr.h"

namespace engine {

// The marker that tells a decoder to drop its state: a packet whose data pointer is this text.
extern const uint8_t kFlushData[];
PacketPtr MakeFlushPacket();
inline bool IsFlushPacket(const AVPacket* p) {
    return p != nullptr && p->data == kFlushData;
}

// The marker that tells a decoder to give out every picture it still holds: a packet without
// data (the end of the stream, as the decoder understands an empty packet).
PacketPtr MakeDrainPacket();
inline bool IsDrainPacket(const AVPacket* p) {
    return p != nullptr && p->data == nullptr && p->size == 0;
}

class PacketQueue {
public:
    // Each packet counts as its payload plus this much in Size().
    static constexpr int kNodeOverhead = 80;

    // A new queue is aborted: it takes nothing until Start.
    PacketQueue() = default;
    ~PacketQueue() { Flush(); }
    PacketQueue(const PacketQueue&) = delete;
    PacketQueue& operator=(const PacketQueue&) = delete;

    // Clears the abort request and queues the flush packet first.
    void Start();
    // Takes the packet (making it own its data); 0, or -1 when refused (the packet is freed).
    int Put(PacketPtr packet);
    // 1 with a packet, 0 when empty and not blocking, -1 when aborted (also meanwhile).
    // taken, when given, is set together with the removal, under the queue's lock, so that
    // a packet is always seen either queued or taken.
    int Get(PacketPtr& packet, bool block, std::atomic<bool>* taken = nullptr);
    void Flush();
    // Wakes every waiting Get, which then gives -1.
    void Abort();

    int Count() const;
    int Size() const;
    bool Aborted() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable cond_;
    std::deque<PacketPtr> packets_;
    int count_ = 0;
    int size_ = 0;
    bool abort_ = true;
};

}  // namespace engine
