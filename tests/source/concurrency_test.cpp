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
    TempFolder dir;
    FarEnd far;
    const auto recs = Groups(400, 6);
    const auto body = Body(recs);
    CQMyFile src;
    src.SetSaveFolder(dir.path().c_str());
    src.SetChannel(1);
    src.SetMaxBuffer(5000, 30000);  // flow control runs on the receive and reader threads
    src.OpenURL(far.Url().c_str(), false);

    std::atomic<bool> stop{false};
    std::thread control([&] {
        for (int i = 0; !stop; ++i) {
            switch (i % 4) {
                case 0:
                    src.SetPlay();
                    break;
                case 1:
                    src.SetPause();
                    break;
                case 2:
                    src.SetSpeed_Oreietion(MediaElementOrientations_Forward, i % 8 == 2, false,
                                           true);
                    break;
                case 3:
                    src.SetSeek("2019/07/04 07:30:56.000", MediaElementOrientations_Forward);
                    break;
            }
            (void)src.GetDuration();
            (void)src.GetPlayDataState();
            platform::Sleep(1);
        }
    });

    std::vector<int64_t> times;
    bool payloadsOk = true;
    std::thread reader([&] {
        frameheader1 f;
        unsigned char* data = nullptr;
        while (!src.IsEnd()) {
            std::memset(&f, 0, sizeof f);
            src.GetNextFrameHeader(&f);
            src.GetNextFrame(&f, data, MediaElementOrientations_Forward);
            if (f.length == 0 && f.kind == 0) {
                platform::Sleep(1);
                continue;
            }
            const size_t i = times.size();
            times.push_back(f.frameTime);
            if (i < recs.size() && std::vector<uint8_t>(data, data + f.length) != Payload(recs[i]))
                payloadsOk = false;
        }
    });

    // The body in uneven pieces, now and then pausing so that the reader catches up and the
    // flow control changes its mind while the other two threads run.
    size_t pieces = 0;
    for (size_t at = 0, step = 1; at < body.size(); at += step, step = step * 7 % 9001 + 13) {
        far.Send(std::vector<uint8_t>(body.begin() + at,
                                      body.begin() + std::min(body.size(), at + step)));
        if (++pieces % 20 == 0) platform::Sleep(2);
    }
    far.CloseConnection();
    reader.join();
    stop = true;
    control.join();

    ASSERT_EQ(times.size(), recs.size());  // every record, the last group too, in order
    for (size_t i = 0; i < times.size(); ++i) ASSERT_EQ(times[i], recs[i].time) << i;
    EXPECT_TRUE(payloadsOk);
    EXPECT_EQ(src.GetPlayDataState(), PlayDataStates_End);
    src.Close();
    EXPECT_TRUE(ListFolder(dir.path()).empty());
}
