// The source's threads meeting on its state: the receive thread feeding records from a real
// connection, a reader thread taking frames, and a control thread sending commands.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "far_end.h"
#include "platform/wintime.h"
#include "source_test_util.h"

using namespace srctest;

TEST(Concurrency, FeedReadAndCommandsAtOnce) {
    const auto recs = Groups(400, 6);
    const auto body = Body(recs);
    // Part of the body arrives with the response head, the rest through the receive thread.
    FarEnd far({body.begin(), body.begin() + 100});
    Fixture fx;
    CQMyFile& src = fx.src;
    src.SetChannel(1);
    src.SetMaxBuffer(5000, 30000);  // flow control runs on the receive and reader threads
    src.OpenURL(far.Url().c_str(), false);

    std::atomic<bool> stop{false};
    std::thread control([&] {
        for (int i = 0; !stop; ++i, platform::Sleep(1)) {
            if (i % 4 == 0) src.SetPlay();
            if (i % 4 == 1) src.SetPause();
            if (i % 4 == 2) src.SetSpeed_Oreietion(kFwd, i % 8 == 2, false, true);
            if (i % 4 == 3) src.SetSeek("2019/07/04 07:30:56.000", kFwd);
            (void)src.GetDuration();
            (void)src.GetPlayDataState();
        }
    });
    std::vector<Seen> seen;
    std::thread reader([&] {
        frameheader1 f;
        unsigned char* data = nullptr;
        while (!src.IsEnd()) {
            std::memset(&f, 0, sizeof f);
            src.GetNextFrameHeader(&f);
            src.GetNextFrame(&f, data, kFwd);
            // A zero-filled record: nothing yet.
            f.kind != 0 || f.length != 0 ? seen.push_back(SeenOf(f, data)) : platform::Sleep(1);
        }
    });

    // The body in uneven pieces, now and then pausing so that the reader catches up and the
    // flow control changes its mind while the other two threads run.
    size_t pieces = 0;
    for (size_t at = 100, step = 1; at < body.size(); at += step, step = step * 7 % 9001 + 13) {
        far.Send({body.begin() + at, body.begin() + std::min(body.size(), at + step)});
        if (++pieces % 20 == 0) platform::Sleep(2);
    }
    far.CloseConnection();
    reader.join();
    stop = true;
    control.join();

    // Every record, the last group too, in order.
    ASSERT_EQ(seen.size(), recs.size());
    EXPECT_TRUE(seen == Expected(recs));
    EXPECT_EQ(src.GetPlayDataState(), PlayDataStates_End);
}
