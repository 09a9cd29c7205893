// Commands to the recorder and flow control, on a real loopback connection whose far end
// records every byte that comes back; and the feed opened through OpenURL.
#include <gtest/gtest.h>

#include "far_end.h"
#include "platform/wintime.h"
#include "source_test_util.h"

using namespace srctest;

namespace {

constexpr auto kFwd = MediaElementOrientations_Forward;
constexpr auto kRew = MediaElementOrientations_Rewind;

const std::string kPlay = "Type=Play,OnlyeKyFrame=0,NOAudio=0\r\n";
const std::string kPause = "Type=Pause,OnlyeKyFrame=0,NOAudio=0\r\n";

// A source connected to a far end that has answered its request.
struct Connected {
    Connected() {
        src.SetSaveFolder(dir.path().c_str());
        src.OpenURL(far.Url().c_str(), false);
        EXPECT_EQ(far.Request().rfind("GET /PlayBack1.cgi?Key=1 HTTP/1.1\r\n", 0), 0u);
    }
    ~Connected() {
        src.Close();
        EXPECT_TRUE(ListFolder(dir.path()).empty());
    }
    // Everything received so far, after a short wait in which a line still on its way (or
    // one that should not have been sent) would arrive.
    std::string Settle() {
        const size_t before = far.Received().size();
        far.WaitReceived(before + 1, 100);
        return far.Received();
    }
    TempFolder dir;
    FarEnd far;
    TestSource src;
};

bool WaitUntil(const std::function<bool()>& pred, int ms = 5000) {
    for (int waited = 0; waited < ms; waited += 5) {
        if (pred()) return true;
        platform::Sleep(5);
    }
    return pred();
}

}  // namespace

TEST(Commands, LinesGoOutOnlyWhenTheRecordChanged) {
    Connected c;
    std::string expected;
    auto expectLines = [&](const std::string& more) {
        expected += more;
        if (!more.empty()) {
            ASSERT_TRUE(c.far.WaitReceived(expected.size()));
        }
        EXPECT_EQ(c.Settle(), expected);
    };

    c.src.SetPlay();
    expectLines(kPlay);
    c.src.SetPlay();  // the same record: nothing
    expectLines("");

    c.src.SetSpeed_Oreietion(kFwd, true, true, false);  // stored, not sent
    expectLines("");
    c.src.SetPlay();
    expectLines("Type=Play,OnlyeKyFrame=1,NOAudio=1\r\n");
    c.src.SetSpeed_Oreietion(kFwd, false, false, true);
    expectLines(kPlay);

    c.src.SetSeek("2019/07/04 07:30:56.000", kRew);
    expectLines("IsSeek=True,SeekTime=2019/07/04 07:30:56.000,Orientation=Rewind\r\n");
    c.src.SetSeek("2019/07/04 07:30:56.000", kRew);  // repeated at once: nothing
    expectLines("");
    c.src.SetPlay();  // play was already true, but the seek is the last thing sent
    expectLines(kPlay);
    c.src.SetPause();
    expectLines(kPause);
    c.src.SetSeek("2019/07/04 07:31:00.500", kFwd);
    expectLines("IsSeek=True,SeekTime=2019/07/04 07:31:00.500,Orientation=Forward\r\n");
    // A time text longer than the field is cut to its 31 characters.
    c.src.SetSeek("2019/07/04 07:31:00.500 and far too much", kFwd);
    expectLines("IsSeek=True,SeekTime=2019/07/04 07:31:00.500 and far,Orientation=Forward\r\n");
}

TEST(Commands, ChangeOfDirectionAsksForTheFarEndOfTheBuffer) {
    Connected c;
    c.far.Send(Body(Groups(4, 2)));
    ASSERT_TRUE(WaitUntil([&] { return c.src.Ahead() == 4; }));
    frameheader1 f;
    unsigned char* data = nullptr;
    for (int i = 0; i < 4; ++i) c.src.GetNextFrame(&f, data, kFwd);  // groups 0 and 1 read
    char text[32];
    CQMyFile::FrameTime2SystemTime(f.frameTime, text);
    c.src.Seek(text, f.frameTime, kFwd);  // same direction: nothing
    c.src.Seek(text, f.frameTime, kRew);
    // Ahead now: group 1 then group 0; the recorder goes on from before group 0.
    ASSERT_TRUE(c.far.WaitReceived(1));
    EXPECT_EQ(c.Settle(), "IsSeek=True,SeekTime=2019/07/04 07:30:56.000,Orientation=Rewind\r\n");
}

TEST(Commands, FlowControlHoldsTheRecorderPerChannel) {
    for (int channels : {0, 1, 3}) {
        SCOPED_TRACE("channels " + std::to_string(channels));
        Connected c;
        c.src.SetChannel(channels);
        c.src.SetMaxBuffer(5000, 30000);
        const size_t limit = 10 * static_cast<size_t>(channels);
        const auto recs = Groups(static_cast<int>(limit) + 3, 2);
        // The first record makes the recorder send (the record starts paused).
        c.far.Send(Body({recs[0]}));
        ASSERT_TRUE(c.far.WaitReceived(kPlay.size()));
        EXPECT_EQ(c.Settle(), kPlay);

        // Up to the limit of finished groups nothing changes; one more holds the recorder.
        std::vector<Rec> upToLimit(recs.begin() + 1, recs.begin() + 1 + 2 * limit);
        c.far.Send(Body(upToLimit));
        ASSERT_TRUE(WaitUntil([&] { return c.src.Pending() == 1 && c.src.Ahead() == limit; }));
        EXPECT_EQ(c.Settle(), kPlay);
        c.far.Send(Body({recs[2 * limit + 1], recs[2 * limit + 2]}));
        ASSERT_TRUE(c.far.WaitReceived(kPlay.size() + kPause.size()));
        EXPECT_EQ(c.Settle(), kPlay + kPause);
        EXPECT_EQ(c.src.Ahead(), limit + 1);

        // More groups while held: no repeated Pause.
        c.far.Send(Body({recs[2 * limit + 3], recs[2 * limit + 4]}));
        ASSERT_TRUE(WaitUntil([&] { return c.src.Ahead() == limit + 2; }));
        EXPECT_EQ(c.Settle(), kPlay + kPause);

        // The reader takes groups; back at the limit the recorder is released, once.
        frameheader1 f;
        unsigned char* data = nullptr;
        c.src.GetNextFrame(&f, data, kFwd);
        c.src.GetNextFrame(&f, data, kFwd);  // limit + 1 left
        EXPECT_EQ(c.Settle(), kPlay + kPause);
        c.src.GetNextFrame_Key(&f, data, kFwd);
        ASSERT_TRUE(c.far.WaitReceived(2 * kPlay.size() + kPause.size()));
        c.src.GetNextFrame(&f, data, kFwd);
        EXPECT_EQ(c.Settle(), kPlay + kPause + kPlay);
    }
}

TEST(Commands, NothingGoesOutWithoutAConnection) {
    TestSource src;
    src.SetPlay();
    EXPECT_TRUE(src.m_SentCommand.play);  // recorded as sent, with no socket to send on

    Connected c;
    c.src.SetPlay();
    ASSERT_TRUE(c.far.WaitReceived(kPlay.size()));
    c.src.Close();
    EXPECT_TRUE(c.far.WaitClosed());
    c.src.SetPause();  // the connection is gone: skipped without a report
    EXPECT_EQ(c.far.Received(), kPlay);
}

TEST(Feed, OpenUrlParsesTheBodyUntilTheRecorderCloses) {
    TempFolder dir;
    FarEnd far;
    const auto recs = Groups(5, 3);
    const auto body = Body(recs);
    // Part of the body arrives with the response head, the rest through the receive thread.
    far.SetFirstBody(std::vector<uint8_t>(body.begin(), body.begin() + 100));
    TestSource src;
    src.SetSaveFolder(dir.path().c_str());
    EXPECT_EQ(src.GetPlayDataState(), PlayDataStates_None);
    src.OpenURL(far.Url().c_str(), false);
    EXPECT_FALSE(src.IsEnd());
    far.Send(std::vector<uint8_t>(body.begin() + 100, body.end()));
    ASSERT_TRUE(WaitUntil([&] { return src.Ahead() == 5; }));
    EXPECT_EQ(src.GetPlayDataState(), PlayDataStates_Data);
    EXPECT_FALSE(src.IsRecvEnd());
    far.CloseConnection();
    ASSERT_TRUE(WaitUntil([&] { return src.IsRecvEnd(); }));
    EXPECT_EQ(src.Ahead(), 6u);  // the close finished the last group
    frameheader1 f;
    unsigned char* data = nullptr;
    for (int i = 0; i < 16; ++i) {
        EXPECT_FALSE(src.IsEnd());
        src.GetNextFrame(&f, data, kFwd);
        EXPECT_EQ(f.frameTime, recs[i].time);
        EXPECT_EQ(std::vector<uint8_t>(data, data + f.length), Payload(recs[i]));
    }
    EXPECT_TRUE(src.IsEnd());
    EXPECT_EQ(src.GetPlayDataState(), PlayDataStates_End);
    src.Close();
    EXPECT_TRUE(ListFolder(dir.path()).empty());
}

TEST(Feed, UnreachableRecorderEndsWithState3) {
    int port;
    {
        FarEnd gone;  // a port that was just free
        port = std::stoi(gone.Url().substr(17));
    }
    TestSource src;
    src.OpenURL(("http://127.0.0.1:" + std::to_string(port) + "/PlayBack1.cgi").c_str(), false);
    EXPECT_EQ(src.GetPlayDataState(), PlayDataStates_Opened);
    ASSERT_TRUE(WaitUntil([&] { return src.IsEnd(); }));
    EXPECT_EQ(src.GetPlayDataState(), PlayDataStates_End);
    src.Close();
}

TEST(Feed, CloseInsideARecordAndReopen) {
    TempFolder dir;
    for (int round = 0; round < 2; ++round) {
        FarEnd far;
        TestSource src;
        src.SetSaveFolder(dir.path().c_str());
        src.OpenURL(far.Url().c_str(), false);
        auto body = Body(Groups(3, 2));
        for (int i = 0; i < 5; ++i) body.pop_back();  // the feed stops inside the last record
        far.Send(body);
        // Two groups finished, the third one's records pending, and the cut key frame that
        // would close it held partly in the payload stream.
        ASSERT_TRUE(WaitUntil([&] { return src.Ahead() == 2 && src.Pending() == 2; }));
        platform::Sleep(50);
        if (round == 1) far.CloseConnection();
        src.Close();
        EXPECT_TRUE(ListFolder(dir.path()).empty());
        EXPECT_EQ(src.PayloadHeld(), 0);
    }
}
