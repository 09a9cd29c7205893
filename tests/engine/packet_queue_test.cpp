#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "engine/packet_queue.h"

using engine::PacketPtr;
using engine::PacketQueue;
using namespace std::chrono_literals;

namespace {

PacketPtr Payload(int size) {
    PacketPtr p = engine::MakePacket();
    av_new_packet(p.get(), size);
    return p;
}

}  // namespace

TEST(PacketQueue, StartsWithTheFlushPacketAndCountsPayloadPlusNode) {
    PacketQueue q;
    EXPECT_EQ(q.Put(Payload(10)), -1) << "a queue takes nothing before it is started";
    q.Start();
    EXPECT_EQ(std::pair(q.Count(), q.Size()), std::pair(1, PacketQueue::kNodeOverhead));
    ASSERT_EQ(q.Put(Payload(1000)), 0);
    EXPECT_EQ(q.Size(), PacketQueue::kNodeOverhead + 1080);

    PacketPtr got;
    std::atomic<bool> taken{false};
    ASSERT_EQ(q.Get(got, false, &taken), 1);
    EXPECT_TRUE(taken) << "the taken flag is set with the removal";
    EXPECT_TRUE(engine::IsFlushPacket(got.get()));
    ASSERT_EQ(q.Get(got, false), 1);
    EXPECT_EQ(got->size, 1000);
    EXPECT_NE(got->buf, nullptr) << "the queue's packet owns its data";
    EXPECT_EQ(q.Size(), 0);
    EXPECT_EQ(q.Get(got, false), 0);

    q.Put(Payload(5));
    q.Flush();
    EXPECT_EQ(std::pair(q.Count(), q.Size()), std::pair(0, 0));
    q.Put(Payload(5));
    q.Abort();
    EXPECT_EQ(q.Get(got, false), -1) << "queued packets are not handed out after an abort";
}

// A Get blocked on the empty queue is woken by a Put, and by an abort, after which a Put is
// refused.
TEST(PacketQueue, PutAndAbortWakeABlockedGet) {
    PacketQueue q;
    q.Start();
    PacketPtr flush;
    ASSERT_EQ(q.Get(flush, true), 1);
    for (bool abort : {false, true}) {
        std::atomic<int> result{99};
        std::thread getter([&] {
            PacketPtr p;
            result = q.Get(p, true);
        });
        std::this_thread::sleep_for(20ms);
        abort ? q.Abort() : (void)q.Put(Payload(1));
        for (int i = 0; i < 500 && result == 99; ++i) std::this_thread::sleep_for(10ms);
        if (result == 99) q.Abort();  // a getter never woken: let it go, and fail
        getter.join();
        EXPECT_EQ(result, abort ? -1 : 1) << abort;
    }
    EXPECT_EQ(q.Put(Payload(1)), -1);
}
