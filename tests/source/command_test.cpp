// Commands to the recorder and flow control, on a real loopback connection whose far end
// records every byte that comes back; and the feed opened through OpenURL.
#include <gtest/gtest.h>

#include <functional>
#include <tuple>

#include "far_end.h"
#include "platform/wintime.h"
#include "source_test_util.h"

using namespace srctest;
using namespace std::chrono_literals;

namespace {

const std::string kPlay = "Type=Play,OnlyeKyFrame=0,NOAudio=0\r\n";
const std::string kPause = "Type=Pause,OnlyeKyFrame=0,NOAudio=0\r\n";

// A source connected to a far end that has answered its request.
struct Connected : Fixture {
    Connected() { src.OpenURL(far.Url().c_str(), false); }
    ~Connected() { src.Close(); }
    // Every line received, after a short wait in which a line still on its way (or one that
    // should not have been sent) would arrive.
    std::string Settle() { return far.Lines(SIZE_MAX, 100); }
    FarEnd far;
};

}  // namespace

TEST(Commands, LinesGoOutOnlyWhenTheRecordChanged) {
    Connected c;
    std::string expected;
    // A call made and the line it sends, none when the record is the one last sent. A line
    // sent too many shows in this comparison or in a later one.
    auto sends = [&](bool, const std::string& line) {
        expected += line;
        EXPECT_EQ(line.empty() ? c.Settle() : c.far.Lines(expected.size()), expected);
    };
    const std::string seek = "IsSeek=True,SeekTime=", t1 = "2019/07/04 07:30:56.000",
                      t2 = "2019/07/04 07:31:00.500";
    sends(c.src.SetPlay(), kPlay);
    sends(c.src.SetPlay(), "");
    sends(c.src.SetSpeed_Oreietion(kFwd, true, true, false), "");  // stored, not sent
    sends(c.src.SetPlay(), "Type=Play,OnlyeKyFrame=1,NOAudio=1\r\n");
    sends(c.src.SetSpeed_Oreietion(kFwd, false, false, true), kPlay);
    sends(c.src.SetSeek(t1.c_str(), kRew), seek + t1 + ",Orientation=Rewind\r\n");
    sends(c.src.SetSeek(t1.c_str(), kRew), "");  // repeated at once
    sends(c.src.SetPlay(), kPlay);  // play was already true, but the seek was sent last
    sends(c.src.SetPause(), kPause);
    sends(c.src.SetSeek(t2.c_str(), kFwd), seek + t2 + ",Orientation=Forward\r\n");
    // A time text longer than the field is cut to its 31 characters.
    sends(c.src.SetSeek((t2 + " and far too much").c_str(), kFwd),
          seek + t2 + " and far,Orientation=Forward\r\n");
    // Without a connection a changed record is taken as sent (it replaces the seek), and goes
    // nowhere.
    c.src.Close();
    sends(c.src.SetPause(), "");
    EXPECT_FALSE(c.src.m_SentCommand.isSeek);
}

TEST(Commands, FlowControlHoldsTheRecorderPerChannel) {
    // Two rows fix the limit of 10 finished groups a channel, none without a channel.
    for (int channels : {0, 3}) {
        SCOPED_TRACE("channels " + std::to_string(channels));
        Connected c;
        c.src.SetChannel(channels);
        c.src.SetMaxBuffer(5000, 30000);
        const size_t limit = 10 * static_cast<size_t>(channels);
        const auto recs = Groups(static_cast<int>(limit) + 3, 2);
        auto send = [&](size_t from, size_t to) {
            c.far.Send(Body({recs.begin() + from, recs.begin() + to}));
        };
        // The first record makes the recorder send (the record starts paused).
        send(0, 1);
        ASSERT_EQ(c.far.Lines(kPlay.size()), kPlay);
        // Up to the limit of finished groups nothing changes; one more holds the recorder.
        send(1, 1 + 2 * limit);
        ASSERT_TRUE(
            nettest::PollUntil([&] { return c.src.Pending() == 1 && c.src.Ahead() == limit; }, 5s));
        EXPECT_EQ(c.Settle(), kPlay);
        send(2 * limit + 1, 2 * limit + 3);
        ASSERT_EQ(c.far.Lines(kPlay.size() + kPause.size()), kPlay + kPause);
        EXPECT_EQ(c.src.Ahead(), limit + 1);
        // More groups while held: no repeated Pause.
        send(2 * limit + 3, 2 * limit + 5);
        ASSERT_TRUE(nettest::PollUntil([&] { return c.src.Ahead() == limit + 2; }, 5s));
        EXPECT_EQ(c.Settle(), kPlay + kPause);
        // The reader takes groups; back at the limit the recorder is released, once.
        c.Read(2);  // limit + 1 left
        EXPECT_EQ(c.Settle(), kPlay + kPause);
        c.Next(kFwd, true);
        ASSERT_EQ(c.far.Lines(2 * kPlay.size() + kPause.size()), kPlay + kPause + kPlay);
        c.Next();
        EXPECT_EQ(c.Settle(), kPlay + kPause + kPlay);
    }
}

TEST(Feed, NoUrlOrAnUnreachableRecorderEndsTheFeed) {
    // (URL, state right after OpenURL, state at the end): nothing listens on port 1.
    const std::tuple<const char*, PlayDataStates, PlayDataStates> cases[] = {
        {"", PlayDataStates_None, PlayDataStates_None},
        {"http://127.0.0.1:1/PlayBack1.cgi", PlayDataStates_Opened, PlayDataStates_End}};
    for (const auto& [url, opened, ended] : cases) {
        CQMyFile src;
        EXPECT_TRUE(src.IsEnd());
        EXPECT_TRUE(src.OpenURL(url, false) || *url != 0);
        EXPECT_EQ(src.GetPlayDataState(), opened) << url;
        ASSERT_TRUE(nettest::PollUntil([&] { return src.IsEnd(); }, 5s));
        EXPECT_EQ(src.GetPlayDataState(), ended);
        src.Close();
    }
}
