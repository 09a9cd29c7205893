// The record splitter, the feed states and the frame time conversions.
#include <gtest/gtest.h>

#include <random>
#include <tuple>
#include <utility>

#include "source_test_util.h"

using namespace srctest;

namespace {

// Records of every awkward size: empty, shorter and longer than a header, larger than a
// receive chunk; audio and a kind without meaning in the middle of a group. The last one is
// empty: it must be taken as soon as its header is complete, with no byte after it.
std::vector<Rec> MixedRecords(int big) {
    // (kind, ms, key frame, length)
    const int plan[][4] = {{1, 0, 1, 0},    {1, 40, 0, 1},  {1, 80, 0, 71},   {2, 90, 0, 72},
                           {1, 120, 0, 73}, {7, 130, 0, 5}, {1, 160, 1, big}, {1, 200, 0, 0},
                           {1, 240, 1, 3},  {1, 280, 0, 0}};
    std::vector<Rec> recs;
    for (const auto& [kind, ms, key, length] : plan) {
        const auto seed = static_cast<uint8_t>(recs.size());
        recs.push_back(Rec{kind, kT0 + ms * kMs, kind == 1 ? 40 : 0, key, length, 1, 0, seed});
    }
    return recs;
}

// The records a fresh source takes from body cut at these places.
std::vector<Seen> FeedInChunks(const TempFolder& dir, const std::vector<uint8_t>& body,
                               const std::vector<size_t>& cuts) {
    TestSource src;
    src.SetSaveFolder(dir.path.c_str());
    src.BeginFeed();
    size_t from = 0;
    for (size_t cut : cuts) src.Feed(body, std::exchange(from, cut), cut);
    src.Feed(body, from, body.size());
    EXPECT_EQ(std::pair(src.ParseState(), src.Unparsed()), std::pair(0, 0LL));
    const auto seen = Snapshot(src);
    src.Close();
    return seen;
}

}  // namespace

TEST(Splitter, EveryCutAndRandomChunksYieldTheSameRecords) {
    // One cut at every position, then one byte per call.
    TempFolder dir;
    const auto recs = MixedRecords(300);
    const auto body = Body(recs);
    std::vector<size_t> everyByte;
    for (size_t cut = 0; cut <= body.size(); ++cut) {
        ASSERT_EQ(FeedInChunks(dir, body, {cut}), Expected(recs)) << "cut at " << cut;
        if (cut > 0 && cut < body.size()) everyByte.push_back(cut);
    }
    EXPECT_EQ(FeedInChunks(dir, body, everyByte), Expected(recs));

    // Random chunks across a record of more than two receive chunks of payload.
    const auto large = MixedRecords(20000);
    const auto largeBody = Body(large);
    std::mt19937 rng(5);
    for (int round = 0; round < 40; ++round) {
        std::vector<size_t> cuts;
        std::uniform_int_distribution<size_t> step(1, round % 2 ? 100 : 8192);
        for (size_t at = step(rng); at < largeBody.size(); at += step(rng)) cuts.push_back(at);
        ASSERT_EQ(FeedInChunks(dir, largeBody, cuts), Expected(large)) << "round " << round;
    }
    EXPECT_TRUE(dir.Files().empty());
}

TEST(FeedState, KindsAndEndMarks) {
    // (kind, the state after one record of that kind following a video record)
    const std::pair<int32_t, PlayDataStates> cases[] = {
        {1, PlayDataStates_Data}, {2, PlayDataStates_Data},     {0, PlayDataStates_Data},
        {3, PlayDataStates_Data}, {129, PlayDataStates_End101}, {255, PlayDataStates_End}};
    for (const auto& [kind, state] : cases) {
        SCOPED_TRACE(kind);
        const bool end = state != PlayDataStates_Data;
        Fixture fx;
        EXPECT_EQ(fx.src.GetPlayDataState(), PlayDataStates_Opened);
        fx.src.Feed(Body({Key(kT0, 10)}));
        EXPECT_EQ(fx.src.GetPlayDataState(), PlayDataStates_Data);
        // A record with a payload, which an end mark's is consumed like any other.
        fx.src.Feed(Body({Key(kT0 + 40 * kMs, 8), Rec{kind, kT0, 0, 0, 4, 1, 0, 0}}));
        EXPECT_EQ(fx.src.GetPlayDataState(), state);
        EXPECT_EQ(fx.src.IsEnd(), end);
        // An end mark finishes the last group at once, but is no frame of any group.
        EXPECT_EQ(fx.src.Lists(), (end ? Sizes{2, 0, 0} : Sizes{1, 0, 2}));
        EXPECT_EQ(Snapshot(fx.src).size(), end ? 2u : 3u);
        fx.src.RecvEnd();
        EXPECT_TRUE(fx.src.IsEnd() || fx.src.Ahead() > 0);
        // An end state of 100 or more survives the end of the feed; below it, state 3 follows.
        while (fx.src.Ahead() > 0) fx.Next();
        EXPECT_TRUE(fx.src.IsEnd());
        EXPECT_EQ(fx.src.GetPlayDataState(),
                  state == PlayDataStates_End101 ? PlayDataStates_End101 : PlayDataStates_End);
    }
}

// The largest payload is no break: its header leaves the parser waiting for the payload.
TEST(FeedState, ImpossibleLengthEndsTheFeedCleanly) {
    const int32_t max = CQMyFile::kMaxPayloadLength;
    for (int32_t length : {-1, -72, max + 1, INT32_MAX, max}) {
        SCOPED_TRACE(length);
        Fixture fx;
        auto body = Body(Groups(2, 2));
        const auto bad = Header(Rec{1, kT0 + 999 * kMs, 40, 0, length});  // no payload follows
        const auto more = Body(Groups(2, 2, kT0 + 5000 * kMs));           // noise after the break
        for (const auto& part : {bad, more}) body.insert(body.end(), part.begin(), part.end());
        fx.src.Feed(body);
        const bool broken = length != max;
        EXPECT_EQ(fx.src.IsEnd(), broken);
        EXPECT_EQ(fx.src.GetPlayDataState(), broken ? PlayDataStates_End : PlayDataStates_Data);
        // What came before stays readable, all of it.
        EXPECT_EQ(fx.src.Ahead(), broken ? 3u : 2u);
        EXPECT_EQ(fx.src.Unparsed(), 0);
        EXPECT_EQ(fx.src.PayloadHeld(), broken ? 0 : static_cast<long long>(more.size()));
    }
}

TEST(FrameTime, ConversionsUseTheYearOffset) {
    platform::SYSTEMTIME st{};
    CQMyFile::FrameTime2SystemTime(kT0 + 123 * kMs, st);
    // Year 3619 with the calendar's month, day, weekday (a Thursday) and time of day.
    EXPECT_EQ(std::vector<int>({st.wYear, st.wMonth, st.wDay, st.wDayOfWeek, st.wHour, st.wMinute,
                                st.wSecond, st.wMilliseconds}),
              std::vector<int>({3619, 7, 4, 4, 7, 30, 56, 123}));
    EXPECT_EQ(CQMyFile::SystemTime2FrameTime({3619, 13, 0, 4, 7, 30, 56, 0}), 0);  // month 13

    // A time outside the years 1000..9999 is cut to fit 24 bytes, never overruns.
    char text[32];
    std::memset(text, 'x', sizeof text);
    CQMyFile::FrameTime2SystemTime(-1, text);
    EXPECT_EQ(std::strlen(text), 23u);

    // The parser fills the record's time text when the header arrives.
    Fixture fx;
    fx.src.Feed(Body({Key(kT0 + 7 * kMs, 1)}));
    ASSERT_EQ(fx.src.Pending(), 1u);
    EXPECT_STREQ(fx.src.m_listPending.front()->timeText, "2019/07/04 07:30:56.007");
}
