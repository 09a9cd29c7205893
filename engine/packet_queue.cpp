#include "engine/packet_queue.h"

#include <utility>

namespace engine {

const uint8_t kFlushData[] = "FLUSH";

PacketPtr MakeFlushPacket() {
    PacketPtr p = MakePacket();
    if (p) p->data = const_cast<uint8_t*>(kFlushData);  // never written, never freed: no buf
    return p;
}

PacketPtr MakeDrainPacket() {
    PacketPtr p = MakePacket();
    if (p) p->stream_index = 1;  // no data, so nothing to own
    return p;
}

void PacketQueue::Start() {
    PacketPtr flush = MakeFlushPacket();
    std::lock_guard<std::mutex> lock(mutex_);
    abort_ = false;
    if (!flush) return;
    size_ += flush->size + kNodeOverhead;
    ++count_;
    packets_.push_back(std::move(flush));
    cond_.notify_one();
}

int PacketQueue::Put(PacketPtr packet) {
    if (!packet) return -1;
    if (!IsFlushPacket(packet.get()) && !IsDrainPacket(packet.get()) &&
        av_packet_make_refcounted(packet.get()) < 0)
        return -1;
    std::lock_guard<std::mutex> lock(mutex_);
    if (abort_) return -1;  // the packet is freed on the way out
    size_ += packet->size + kNodeOverhead;
    ++count_;
    packets_.push_back(std::move(packet));
    cond_.notify_one();
    return 0;
}

int PacketQueue::Get(PacketPtr& packet, bool block, std::atomic<bool>* taken) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (abort_) return -1;
        if (!packets_.empty()) break;
        if (!block) return 0;
        cond_.wait(lock);
    }
    packet = std::move(packets_.front());
    packets_.pop_front();
    if (taken != nullptr) *taken = true;
    --count_;
    size_ -= packet->size + kNodeOverhead;
    return 1;
}

void PacketQueue::Flush() {
    std::deque<PacketPtr> dropped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        dropped.swap(packets_);
        count_ = 0;
        size_ = 0;
    }
}

void PacketQueue::Abort() {
    std::lock_guard<std::mutex> lock(mutex_);
    abort_ = true;
    cond_.notify_all();
}

int PacketQueue::Count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_;
}

int PacketQueue::Size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return size_;
}

bool PacketQueue::Aborted() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return abort_;
}

}  // namespace engine
