// Reading frames back from the group files: plain, key frames only, on-file, positioning,
// changes of direction and the trim of the groups kept behind the reader.
#include <gtest/gtest.h>

#include <tuple>

#include "platform/files.h"
#include "source_test_util.h"

using namespace srctest;

namespace {

bool IsZero(const frameheader1& f) {
    static const frameheader1 zero{};
    return std::memcmp(&f, &zero, sizeof f) == 0;
}

using Times = std::vector<int64_t>;

}  // namespace

TEST(Navigation, PlainAndKeyFrameReadingMoveTheGroupsBehind) {
    Fixture fx;
    fx.src.SetMaxBuffer(5000, 30000);
    const auto recs = Groups(3, 30);
    fx.src.Feed(Body(recs));
    EXPECT_EQ(fx.src.GetDuration(), 91 * 40);
    EXPECT_EQ(fx.Peek(), recs[0].time);
    EXPECT_EQ(fx.Read(29), Expected(recs, 0, 29));
    EXPECT_EQ(fx.src.Lists(), (Sizes{3, 0, 1}));
    EXPECT_EQ(fx.Read(1), Expected(recs, 29, 30));
    EXPECT_EQ(fx.src.Lists(), (Sizes{2, 1, 1}));
    EXPECT_EQ(fx.src.GetDuration(), 61 * 40);

    // The second group is half read: key-frame reading goes on with the next key frame, never
    // with the picture at the cursor (it cannot be decoded on its own), and takes the rest of
    // the half-read group and the whole next one off the time buffered. It never takes the
    // group still coming.
    EXPECT_EQ(fx.Read(15), Expected(recs, 30, 45));
    const frameheader1 k = fx.Next(kFwd, true);
    EXPECT_EQ(SeenOf(k, fx.data), Expected(recs, 60, 61)[0]);
    EXPECT_EQ(k.groupDuration, 30 * 40);
    EXPECT_EQ(fx.src.Lists(), (Sizes{0, 3, 1}));
    EXPECT_EQ(fx.src.GetDuration(), (61 - 30 - 30) * 40);
    EXPECT_TRUE(IsZero(fx.Next(kFwd, true)));

    // Forward play goes on into the group still coming (its key frame), and then has nothing:
    // a zero-filled record, and the peek leaves its record as it was.
    EXPECT_EQ(fx.Peek(), recs[90].time);
    EXPECT_EQ(fx.Read(1), Expected(recs, 90, 91));
    EXPECT_EQ(fx.src.GetDuration(), 0);
    EXPECT_TRUE(IsZero(fx.Next()));
    EXPECT_EQ(fx.Peek(), 0x3333333333333333);
}

TEST(Navigation, OnFileReadingWrapsOnlyWithAutoRepeatAndKeyFramesAlways) {
    const auto recs = Groups(3, 2);
    {
        Fixture fx(true);
        // A reader that catches up with a slow feed goes on with the groups that come later.
        fx.src.Feed(Body({recs.begin(), recs.begin() + 3}));
        EXPECT_EQ(fx.Read(2), Expected(recs, 0, 2));
        EXPECT_EQ(fx.Next().kind, 0x5A5A5A5A);
        fx.src.Feed(Body({recs.begin() + 3, recs.end()}));
        fx.src.RecvEnd();
        EXPECT_FALSE(fx.src.IsEnd());
        EXPECT_EQ(fx.Read(recs.size() - 2), Expected(recs, 2));
        // At the end without repeat the caller's record is left unchanged.
        EXPECT_EQ(fx.Next().kind, 0x5A5A5A5A);
        EXPECT_TRUE(fx.src.IsEnd());
    }
    Fixture rep(true);
    rep.src.SetAutoRepeat(true);
    rep.src.Feed(Body(recs));
    rep.src.RecvEnd();  // the closing key frame makes a fourth group
    for (int round = 0; round < 3; ++round) EXPECT_EQ(rep.Read(recs.size()), Expected(recs));
    EXPECT_FALSE(rep.src.IsEnd());
    EXPECT_EQ(rep.src.GetLastFrameDateTime(), recs.back().time);
    // The numbers of the groups whose key frames the next n readings give.
    auto groups = [&](int n, MediaElementOrientations o) {
        Times numbers;
        while (n-- > 0) numbers.push_back((rep.Next(o, true).frameTime - kT0) / (80 * kMs));
        return numbers;
    };
    EXPECT_EQ(groups(6, kFwd), (Times{0, 1, 2, 3, 0, 1}));
    rep.src.SetPos(0);
    // In rewind the first group is passed over: reaching it wraps to the last.
    EXPECT_EQ(groups(7, kRew), (Times{3, 2, 1, 3, 2, 1, 3}));
}

TEST(Navigation, SetPosAndSeekByTime) {
    Fixture fx(true);
    fx.src.SetPos(50);  // nothing indexed: nothing happens
    EXPECT_EQ(fx.src.GetLastFrameDateTime(), -1);
    const auto recs = Groups(10, 1);
    fx.src.Feed(Body(recs));
    ASSERT_EQ(fx.src.m_mapGOP.size(), 10u);
    const std::pair<int, size_t> cases[] = {{50, 4}, {100, 9}, {0, 0},  {-20, 0},
                                            {10, 0}, {11, 1},  {99, 9}, {101, 10}};
    for (const auto& [percent, group] : cases) {
        fx.src.SetPos(percent);
        EXPECT_EQ(fx.src.CursorIndex(), group) << percent << "%";
    }

    // By time (year + 1600, as the lookup takes it): an exact match moves there; 1 ms late,
    // or the calendar year, match nothing and move nothing.
    fx.src.SetPos(0);
    const std::tuple<int64_t, int, size_t> seeks[] = {
        {recs[6].time, 0, 6}, {recs[2].time + kMs, 0, 6}, {recs[2].time, 1600, 6}};
    for (const auto& [time, yearsBack, index] : seeks) {
        platform::SYSTEMTIME st{};
        CQMyFile::FrameTime2SystemTime(time, st);
        st.wYear = static_cast<uint16_t>(st.wYear - yearsBack);
        fx.src.Seek(st, kFwd);
        EXPECT_EQ(fx.src.CursorIndex(), index);
    }
    EXPECT_EQ(fx.Read(1), Expected(recs, 6, 7));
}

// Turned to rewind by a Seek from group 2 with groups 0-3 read, or by TurnAt at the picture
// just read in group 2 (which is read again from its key frame).
TEST(Navigation, TurnsSwapWhatIsBufferedAndDropAGroupSentAgain) {
    const auto recs = Groups(7, 2);  // group g starts at recs[2 * g]
    auto g = [&](int n) { return recs[2 * n].time; };
    char text[32];
    CQMyFile::FrameTime2SystemTime(g(2), text);
    for (bool turnAt : {false, true}) {
        SCOPED_TRACE(turnAt ? "TurnAt" : "Seek");
        Fixture fx(recs);
        fx.Read(turnAt ? 5 : 8);
        // The current direction: nothing moves, nothing is sent.
        fx.src.Seek("x", g(2), kFwd);
        EXPECT_EQ(fx.src.Lists(), (turnAt ? Sizes{5, 2, 1} : Sizes{3, 4, 1}));
        EXPECT_FALSE(fx.src.m_SentCommand.isSeek);

        // Groups 3 (wrong side), 4, 5, 6 go behind; 2, 1, 0 come ahead.
        if (turnAt) {
            EXPECT_EQ(fx.src.TurnAt(recs[4].time + 1, kRew), g(2));
        } else {
            fx.src.Seek(text, g(2), kRew);
        }
        EXPECT_EQ(TestSource::Starts(fx.src.m_listAhead), (Times{g(2), g(1), g(0)}));
        EXPECT_EQ(TestSource::Starts(fx.src.m_listBehind), (Times{g(6), g(5), g(4), g(3)}));
        EXPECT_EQ(fx.src.GetDuration(), 3 * 80);
        EXPECT_EQ(fx.src.Pending(), 0u);  // the group coming forward is dropped
        // The recorder is asked to go on from the far end of what is buffered.
        EXPECT_TRUE(fx.src.m_SentCommand.isSeek);
        EXPECT_FALSE(fx.src.m_Command.isSeek);
        EXPECT_STREQ(fx.src.m_SentCommand.seekTime, "2019/07/04 07:30:56.000");
        EXPECT_EQ(fx.src.m_Command.orientation, kRew);
        // It goes on from the group holding the seek time, one held already: dropped.
        fx.src.Feed(Body({recs[0], recs[1], recs[2]}));
        EXPECT_EQ(fx.src.Ahead(), 3u);
        // Each group again from its key frame, latest first.
        EXPECT_EQ(fx.Read(6), Expected({recs[4], recs[5], recs[2], recs[3], recs[0], recs[1]}));

        // Back to forward with nothing ahead of time t: everything buffered lies behind it.
        fx.src.Seek(text, g(6) + 1, kFwd);
        EXPECT_EQ(fx.src.Ahead(), 0u);
        EXPECT_STREQ(fx.src.m_SentCommand.seekTime, text);
        EXPECT_EQ(fx.src.GetDuration(), 0);
    }
}

TEST(Navigation, GroupsBehindAreTrimmedToOneHundred) {
    const auto recs = Groups(103, 1);
    Fixture fx(recs);
    std::vector<std::string> paths;
    for (const auto& g : fx.src.m_listAhead) paths.push_back(g->GetPath());
    EXPECT_EQ(fx.Read(100), Expected(recs, 0, 100));
    EXPECT_EQ(fx.src.m_listBehind.size(), 100u);
    // The next file opened finds 101 groups behind: the oldest goes with its file, each time.
    for (size_t gone = 0; gone < 2; ++gone) {
        EXPECT_EQ(fx.Read(1), Expected(recs, 100 + gone, 101 + gone));
        EXPECT_EQ(fx.src.m_listBehind.size(), 100u);
        EXPECT_EQ(fx.dir.Files().size(), 102u - gone);
        EXPECT_FALSE(platform::FileExists(paths[gone].c_str()));
    }
}

TEST(Navigation, UnreadableGroupFileGivesNoFrame) {
    const auto recs = Groups(2, 3);
    Fixture fx(recs);
    platform::DeleteFile(fx.src.m_listAhead.front()->GetPath());
    const int before = fx.src.GetDuration();
    EXPECT_TRUE(IsZero(fx.Next()));  // never a length without its bytes
    EXPECT_NE(fx.data, nullptr);     // and still memory to copy zero bytes from
    EXPECT_EQ(fx.src.GetDuration(), before - 40);
    fx.Read(2);
    EXPECT_EQ(fx.Read(1), Expected(recs, 3, 4));  // the next group reads as usual
}

TEST(Navigation, ShortFormRecordsFromTheOpenedFile) {
    // Packed 56-byte headers: the frame header's first 60 bytes without the padding word at 12
    // (the record as read has it zero); then the payload. The third record is cut short.
    const std::vector<Rec> recs = {Key(kT0, 5), P(kT0 + kMs, 0), P(kT0 + 2 * kMs, 300)};
    TempFolder dir;
    std::ofstream file(dir / "short.bin", std::ios::binary);
    std::vector<std::vector<uint8_t>> read;
    for (const Rec& r : recs) {
        auto h = Header(r);
        const auto p = Payload(r);
        file.write(reinterpret_cast<const char*>(h.data()), 12)
            .write(reinterpret_cast<const char*>(&h[16]), 44);
        file.write(reinterpret_cast<const char*>(p.data()), r.length - (r.length == 300));
        std::fill(&h[12], &h[16], 0);
        read.push_back({h.begin(), h.begin() + 60});
    }
    file.close();
    read.back().assign(60, 0);  // the cut record: no frame

    CQMyFile src;
    frameheader rec;
    unsigned char* data = nullptr;
    src.GetNextFrame(rec, data);  // nothing opened yet: no frame
    EXPECT_EQ(rec.kind, 0);
    src.OpenFile((dir / "short.bin").c_str());
    for (size_t i = 0; i < recs.size(); ++i) {
        src.GetNextFrame(rec, data);
        const auto* got = reinterpret_cast<const uint8_t*>(&rec);
        EXPECT_EQ(std::vector<uint8_t>(got, got + 60), read[i]) << i;
        EXPECT_TRUE(i != 0 || std::vector<uint8_t>(data, data + 5) == Payload(recs[0]));
    }
    src.Close();
    EXPECT_TRUE(platform::FileExists((dir / "short.bin").c_str()));  // only read: it stays
}

// Two channels whose key frames fall apart: a turn starts where every channel keeps the group
// of the picture it shows, the earliest of their groups going forward, the latest going back.
TEST(Navigation, TurnWithSeveralChannelsStartsAtTheGroupEveryChannelNeeds) {
    // (ms, key frame, channel): channel 1's groups start at 0 and 160 ms, channel 2's at 40.
    const int plan[][3] = {{0, 1, 1},   {40, 1, 2},  {80, 0, 1},  {120, 0, 2}, {160, 1, 1},
                           {200, 0, 2}, {240, 0, 1}, {280, 1, 2}, {320, 1, 1}};
    std::vector<Rec> recs;
    for (const auto& [at, key, channel] : plan) {
        recs.push_back(key ? Key(kT0 + at * kMs, 10) : P(kT0 + at * kMs, 10));
        recs.back().channel = channel;
    }
    for (const auto& [orientation, start] : {std::pair{kRew, 160}, std::pair{kFwd, 40}}) {
        Fixture fx;
        fx.src.Feed(Body(recs));
        fx.Read(7);  // up to channel 1's picture at 240 ms
        EXPECT_EQ(fx.src.TurnAt(kT0 + 240 * kMs, orientation, true), kT0 + start * kMs)
            << orientation;
        // Read back, the group at 160 ms would hand channel 2's picture at 200 ms out before
        // the key frame it needs (at 40 ms): nothing is held, the recorder sends it again.
        if (orientation == kRew) {
            EXPECT_TRUE(fx.src.m_listAhead.empty());
        }
    }
}
