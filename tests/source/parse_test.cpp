// The record splitter, the feed states and the frame time conversions.
#include <gtest/gtest.h>

#include <random>

#include "source_test_util.h"

using namespace srctest;

namespace {

// Records of every awkward size: empty, shorter and longer than a header, larger than a
// receive chunk; audio and a kind without meaning in the middle of a group.
std::vector<Rec> MixedRecords(int big) {
    return {Key(kT0, 0),
            P(kT0 + 40 * kMs, 1),
            P(kT0 + 80 * kMs, 71),
            Audio(kT0 + 90 * kMs, 72),
            P(kT0 + 120 * kMs, 73),
            Rec{7, kT0 + 130 * kMs, 0, 0, 5, 1, 0, 9},
            Key(kT0 + 160 * kMs, big, 4),
            P(kT0 + 200 * kMs, 0),
            Key(kT0 + 240 * kMs, 3, 5),
            P(kT0 + 280 * kMs, 2)};
}

std::vector<Seen> FeedInChunks(const TempFolder& dir, const std::vector<uint8_t>& body,
                               const std::vector<size_t>& cuts) {
    TestSource src;
    src.SetSaveFolder(dir.path().c_str());
    src.BeginFeed();
    size_t from = 0;
    for (size_t cut : cuts) {
        src.Feed(body, from, cut);
        from = cut;
    }
    src.Feed(body, from, body.size());
    auto seen = Snapshot(src);
    EXPECT_EQ(src.ParseState(), 0);
    EXPECT_EQ(src.Unparsed(), 0);
    src.Close();
    return seen;
}

}  // namespace

TEST(Splitter, EveryCutYieldsTheSameRecords) {
    TempFolder dir;
    const auto recs = MixedRecords(300);
    const auto body = Body(recs);
    const auto expected = Expected(recs);
    ASSERT_EQ(FeedInChunks(dir, body, {}), expected);

    // One cut at every position, then one byte per call.
    for (size_t cut = 0; cut <= body.size(); ++cut) {
        ASSERT_EQ(FeedInChunks(dir, body, {cut}), expected) << "cut at " << cut;
    }
    std::vector<size_t> everyByte;
    for (size_t i = 1; i < body.size(); ++i) everyByte.push_back(i);
    EXPECT_EQ(FeedInChunks(dir, body, everyByte), expected);
    EXPECT_TRUE(ListFolder(dir.path()).empty());
}

TEST(Splitter, RandomChunksAcrossLargeRecords) {
    TempFolder dir;
    const auto recs = MixedRecords(20000);  // more than two receive chunks of payload
    const auto body = Body(recs);
    const auto expected = Expected(recs);
    std::mt19937 rng(5);
    for (int round = 0; round < 40; ++round) {
        std::vector<size_t> cuts;
        std::uniform_int_distribution<size_t> step(1, round % 2 ? 100 : 8192);
        for (size_t at = step(rng); at < body.size(); at += step(rng)) cuts.push_back(at);
        ASSERT_EQ(FeedInChunks(dir, body, cuts), expected) << "round " << round;
    }
}

TEST(Splitter, PartialHeaderAndPartialPayloadStayBuffered) {
    TempFolder dir;
    TestSource src;
    src.SetSaveFolder(dir.path().c_str());
    src.BeginFeed();
    const std::vector<Rec> recs = {Key(kT0, 50), Key(kT0 + 40 * kMs, 0), Key(kT0 + 80 * kMs, 7)};
    const auto body = Body(recs);

    // A chunk ending 10 bytes into the first header keeps those bytes.
    src.Feed(body, 0, 10);
    EXPECT_EQ(src.ParseState(), 0);
    EXPECT_EQ(src.Unparsed(), 10);
    EXPECT_EQ(src.Pending(), 0u);
    // Completing the header and half the payload: the payload is gathered, the input emptied.
    src.Feed(body, 10, 72 + 25);
    EXPECT_EQ(src.ParseState(), 1);
    EXPECT_EQ(src.Unparsed(), 0);
    EXPECT_EQ(src.PayloadHeld(), 25);
    // The rest of the payload plus the whole length-0 record and 10 bytes of the third header:
    // two records reach the intake in this one call, the length-0 one as soon as its header
    // is complete.
    const size_t third = 2 * 72 + 50;
    src.Feed(body, 72 + 25, third + 10);
    EXPECT_EQ(src.ParseState(), 0);
    EXPECT_EQ(src.Unparsed(), 10);
    EXPECT_EQ(src.Ahead(), 1u);  // the length-0 key frame closed the first group
    EXPECT_EQ(src.Pending(), 1u);
    src.Feed(body, third + 10, body.size());
    EXPECT_EQ(Snapshot(src), Expected(recs));
    src.Close();
}

TEST(FeedState, KindsAndEndMarks) {
    struct Case {
        int32_t kind;
        PlayDataStates state;  // after one record of that kind, following a video record
        bool end;
    };
    const Case cases[] = {{1, PlayDataStates_Data, false},    {2, PlayDataStates_Data, false},
                          {0, PlayDataStates_Data, false},    {3, PlayDataStates_Data, false},
                          {129, PlayDataStates_End101, true}, {255, PlayDataStates_End, true}};
    for (const Case& c : cases) {
        TempFolder dir;
        TestSource src;
        src.SetSaveFolder(dir.path().c_str());
        src.BeginFeed();
        EXPECT_EQ(src.GetPlayDataState(), PlayDataStates_Opened);
        src.Feed(Body({Key(kT0, 10)}));
        EXPECT_EQ(src.GetPlayDataState(), PlayDataStates_Data);
        Rec r = End(c.kind);
        r.length = 4;  // an end mark's payload is consumed like any other
        src.Feed(Body({Key(kT0 + 40 * kMs, 8), r}));
        EXPECT_EQ(src.GetPlayDataState(), c.state) << c.kind;
        EXPECT_EQ(src.IsEnd(), c.end) << c.kind;
        // An end mark's payload is consumed, but the mark itself is no frame of any group.
        EXPECT_EQ(Snapshot(src).size(), c.end ? 2u : 3u) << c.kind;
        src.RecvEnd();
        EXPECT_TRUE(src.IsEnd() || src.Ahead() > 0) << c.kind;
        // An end state of 100 or more survives the end of the feed; below it, state 3 follows.
        while (src.Ahead() > 0) {
            frameheader1 f;
            unsigned char* data = nullptr;
            src.GetNextFrame(&f, data, MediaElementOrientations_Forward);
        }
        EXPECT_TRUE(src.IsEnd());
        EXPECT_EQ(src.GetPlayDataState(),
                  c.state == PlayDataStates_End101 ? PlayDataStates_End101 : PlayDataStates_End);
        src.Close();
    }
}

TEST(FeedState, EndMark255EndsAtOnceWithGroupsLeft) {
    TempFolder dir;
    TestSource src;
    src.SetSaveFolder(dir.path().c_str());
    src.BeginFeed();
    auto recs = Groups(3, 2);
    recs.push_back(End(255));
    src.Feed(Body(recs));
    EXPECT_EQ(src.Ahead(), 4u);  // the end mark finished the last group
    EXPECT_EQ(src.Pending(), 0u);
    EXPECT_TRUE(src.IsEnd());
    EXPECT_EQ(src.GetPlayDataState(), PlayDataStates_End);
    src.Close();
}

TEST(FeedState, EmptyUrlOpensNothing) {
    CQMyFile src;
    EXPECT_TRUE(src.IsEnd());
    EXPECT_TRUE(src.OpenURL("", true));
    EXPECT_EQ(src.GetPlayDataState(), PlayDataStates_None);
    EXPECT_TRUE(src.IsEnd());
    src.Close();
}

TEST(FeedState, ImpossibleLengthEndsTheFeedCleanly) {
    for (int32_t length : {-1, -72, CQMyFile::kMaxPayloadLength + 1, INT32_MAX}) {
        TempFolder dir;
        TestSource src;
        src.SetSaveFolder(dir.path().c_str());
        src.BeginFeed();
        auto good = Groups(2, 2);
        Rec bad = P(kT0 + 999 * kMs, 0);
        auto body = Body(good);
        auto badHeader = Header(bad);
        std::memcpy(&badHeader[32], &length, 4);
        body.insert(body.end(), badHeader.begin(), badHeader.end());
        auto more = Body(Groups(2, 2, kT0 + 5000 * kMs));  // noise after the break is ignored
        body.insert(body.end(), more.begin(), more.end());
        src.Feed(body);
        EXPECT_TRUE(src.IsEnd()) << length;
        EXPECT_EQ(src.GetPlayDataState(), PlayDataStates_End) << length;
        EXPECT_EQ(src.Ahead(), 3u) << length;  // what came before stays readable, all of it
        EXPECT_EQ(src.Unparsed(), 0) << length;
        EXPECT_EQ(src.PayloadHeld(), 0) << length;
        src.Close();
        EXPECT_TRUE(ListFolder(dir.path()).empty()) << length;
    }
}

TEST(FrameTime, ConversionsUseTheYearOffset) {
    char text[24];
    CQMyFile::FrameTime2SystemTime(kT0, text);
    EXPECT_STREQ(text, "2019/07/04 07:30:56.000");
    platform::SYSTEMTIME st{};
    CQMyFile::FrameTime2SystemTime(kT0 + 123 * kMs, st);
    // Year 3619 with the calendar's month, day, weekday (a Thursday) and time of day.
    EXPECT_EQ(std::vector<int>({st.wYear, st.wMonth, st.wDay, st.wDayOfWeek, st.wHour, st.wMinute,
                                st.wSecond, st.wMilliseconds}),
              std::vector<int>({3619, 7, 4, 4, 7, 30, 56, 123}));
    platform::SYSTEMTIME back{3619, 7, 0, 4, 7, 30, 56, 0};
    EXPECT_EQ(CQMyFile::SystemTime2FrameTime(back), kT0);
    back.wMonth = 13;
    EXPECT_EQ(CQMyFile::SystemTime2FrameTime(back), 0);

    // The parser fills the record's time text when the header arrives.
    TempFolder dir;
    TestSource src;
    src.SetSaveFolder(dir.path().c_str());
    src.Feed(Body({Key(kT0 + 7 * kMs, 1)}));
    ASSERT_EQ(src.Pending(), 1u);
    EXPECT_STREQ(src.PendingList().front()->timeText, "2019/07/04 07:30:56.007");

    // A time outside the years 1000..9999 is cut to fit 24 bytes, never overruns.
    char guard[32];
    std::memset(guard, 'x', sizeof guard);
    CQMyFile::FrameTime2SystemTime(-1, guard);
    EXPECT_EQ(std::strlen(guard), 23u);
}
