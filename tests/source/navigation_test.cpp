// Reading frames back from the group files: plain, key frames only, on-file, positioning,
// changes of direction and the trim of the groups kept behind the reader.
#include <gtest/gtest.h>

#include <tuple>

#include "platform/files.h"
#include "source_test_util.h"

using namespace srctest;

namespace {

constexpr auto kFwd = MediaElementOrientations_Forward;
constexpr auto kRew = MediaElementOrientations_Rewind;

struct Fixture {
    explicit Fixture(bool onFile = false) {
        src.SetSaveFolder(dir.path().c_str());
        src.SetOnFile(onFile);
        src.BeginFeed();
    }
    ~Fixture() {
        src.Close();
        EXPECT_TRUE(ListFolder(dir.path()).empty());
    }
    frameheader1 Next() {
        frameheader1 f;
        std::memset(&f, 0x5A, sizeof f);
        data = nullptr;
        src.GetNextFrame(&f, data, kFwd);
        return f;
    }
    frameheader1 NextKey(MediaElementOrientations o) {
        frameheader1 f;
        std::memset(&f, 0x5A, sizeof f);
        data = nullptr;
        src.GetNextFrame_Key(&f, data, o);
        return f;
    }
    TempFolder dir;
    TestSource src;
    unsigned char* data = nullptr;
};

// The record handed out is the one received, with its payload behind data.
void ExpectFrame(const frameheader1& f, const unsigned char* data, const Rec& r) {
    const auto h = Header(r);
    EXPECT_EQ(std::memcmp(&f, h.data(), h.size()), 0) << "frame time " << (f.frameTime - kT0);
    ASSERT_NE(data, nullptr);
    const auto p = Payload(r);
    EXPECT_EQ(std::vector<uint8_t>(data, data + p.size()), p);
}

// Takes the next frame and checks it (the frame is taken before data is looked at).
void ExpectNext(Fixture& fx, const Rec& r) {
    const frameheader1 f = fx.Next();
    ExpectFrame(f, fx.data, r);
}
void ExpectNextKey(Fixture& fx, MediaElementOrientations o, const Rec& r) {
    const frameheader1 f = fx.NextKey(o);
    ExpectFrame(f, fx.data, r);
}

bool IsZero(const frameheader1& f) {
    frameheader1 z;
    std::memset(&z, 0, sizeof z);
    return std::memcmp(&f, &z, sizeof z) == 0;
}

}  // namespace

TEST(Navigation, PlainReadingTakesEveryFrameThenMovesTheGroupBehind) {
    Fixture fx;
    fx.src.SetMaxBuffer(5000, 30000);
    const auto recs = Groups(2, 30);
    fx.src.Feed(Body(recs));
    ASSERT_EQ(fx.src.Ahead(), 2u);
    EXPECT_EQ(fx.src.GetDuration(), 61 * 40);

    frameheader1 peek;
    fx.src.GetNextFrameHeader(&peek);
    EXPECT_EQ(peek.frameTime, recs[0].time);
    for (int i = 0; i < 30; ++i) {
        const frameheader1 f = fx.Next();
        ExpectFrame(f, fx.data, recs[i]);
        EXPECT_EQ(fx.src.Behind(), i == 29 ? 1u : 0u);
    }
    EXPECT_EQ(fx.src.GetDuration(), 31 * 40);
    CQMyFile_GOP& read = *fx.src.BehindList().back();
    frameheader1 cursor;
    read.GetNextFrameHeader(&cursor);
    EXPECT_EQ(cursor.frameTime, recs[0].time);  // back on its first frame

    for (int i = 30; i < 60; ++i) ExpectNext(fx, recs[i]);
    // Forward play goes on into the group still coming (its key frame), and then has nothing:
    // a zero-filled record, and the peek leaves its record as it was.
    fx.src.GetNextFrameHeader(&peek);
    EXPECT_EQ(peek.frameTime, recs[60].time);
    ExpectNext(fx, recs[60]);
    EXPECT_TRUE(IsZero(fx.Next()));
    std::memset(&peek, 0x33, sizeof peek);
    fx.src.GetNextFrameHeader(&peek);
    EXPECT_EQ(peek.kind, 0x33333333);
    EXPECT_EQ(fx.src.GetDuration(), 0);
}

TEST(Navigation, KeyFrameOnlyTakesOneFramePerGroup) {
    Fixture fx;
    const auto recs = Groups(3, 30);
    fx.src.Feed(Body(recs));
    // The first group is half read: key-frame reading goes on with the next key frame, never
    // with the picture at the cursor (it cannot be decoded on its own).
    for (int i = 0; i < 15; ++i) fx.Next();
    const frameheader1 k = fx.NextKey(kFwd);
    ExpectFrame(k, fx.data, recs[30]);
    EXPECT_EQ(k.groupDuration, 30 * 40);
    EXPECT_EQ(fx.src.Behind(), 2u);
    EXPECT_EQ(fx.src.Ahead(), 1u);
    // Key-frame reading advances play time by the whole group.
    EXPECT_EQ(fx.src.GetDuration(), 91 * 40 - 15 * 40 - 30 * 40);
    ExpectNextKey(fx, kFwd, recs[60]);
    EXPECT_TRUE(IsZero(fx.NextKey(kFwd)));
}

TEST(Navigation, OnFileReadingWrapsOnlyWithAutoRepeat) {
    Fixture fx(true);
    const auto recs = Groups(3, 2);
    // A reader that catches up with a slow feed goes on with the groups that come later.
    fx.src.Feed(Body({recs.begin(), recs.begin() + 3}));
    for (size_t i = 0; i < 2; ++i) ExpectNext(fx, recs[i]);
    EXPECT_EQ(fx.Next().kind, 0x5A5A5A5A);
    fx.src.Feed(Body({recs.begin() + 3, recs.end()}));
    fx.src.RecvEnd();
    EXPECT_FALSE(fx.src.IsEnd());
    for (size_t i = 2; i < recs.size(); ++i) ExpectNext(fx, recs[i]);
    // At the end without repeat the caller's record is left unchanged.
    EXPECT_EQ(fx.Next().kind, 0x5A5A5A5A);
    EXPECT_TRUE(fx.src.IsEnd());

    Fixture rep(true);
    rep.src.SetAutoRepeat(true);
    rep.src.Feed(Body(recs));
    rep.src.RecvEnd();
    for (int round = 0; round < 3; ++round) {
        for (size_t i = 0; i < recs.size(); ++i) ExpectNext(rep, recs[i]);
    }
    EXPECT_FALSE(rep.src.IsEnd());
    EXPECT_EQ(rep.src.GetLastFrameDateTime(), recs.back().time);
}

TEST(Navigation, OnFileKeyFramesWrapBothWays) {
    Fixture fx(true);
    const auto recs = Groups(4, 2);  // group g starts at recs[2 * g]
    fx.src.Feed(Body(recs));
    std::vector<int64_t> forward, rewind;
    for (int i = 0; i < 6; ++i) forward.push_back(fx.NextKey(kFwd).frameTime);
    fx.src.SetPos(0);
    for (int i = 0; i < 7; ++i) rewind.push_back(fx.NextKey(kRew).frameTime);
    auto g = [&](int n) { return recs[2 * n].time; };
    EXPECT_EQ(forward, (std::vector<int64_t>{g(0), g(1), g(2), g(3), g(0), g(1)}));
    // In rewind the first group is passed over: reaching it wraps to the last.
    EXPECT_EQ(rewind, (std::vector<int64_t>{g(3), g(2), g(1), g(3), g(2), g(1), g(3)}));
}

TEST(Navigation, SetPosAndSeekByTime) {
    Fixture fx(true);
    fx.src.SetPos(50);  // nothing indexed: nothing happens
    EXPECT_EQ(fx.src.GetLastFrameDateTime(), -1);
    const auto recs = Groups(10, 1);
    fx.src.Feed(Body(recs));
    ASSERT_EQ(fx.src.Indexed(), 10u);
    const struct {
        int percent;
        size_t group;
    } cases[] = {{50, 4}, {100, 9}, {0, 0}, {-20, 0}, {10, 0}, {11, 1}, {99, 9}, {101, 10}};
    for (const auto& c : cases) {
        fx.src.SetPos(c.percent);
        EXPECT_EQ(fx.src.CursorIndex(), c.group) << c.percent << "%";
    }

    fx.src.SetPos(0);
    platform::SYSTEMTIME st{};
    CQMyFile::FrameTime2SystemTime(recs[6].time, st);  // year + 1600, as the lookup takes it
    fx.src.Seek(st, kFwd);
    EXPECT_EQ(fx.src.CursorIndex(), 6u);
    ExpectNext(fx, recs[6]);
    CQMyFile::FrameTime2SystemTime(recs[2].time + kMs, st);  // 1 ms late: no exact match
    fx.src.Seek(st, kFwd);
    EXPECT_EQ(fx.src.CursorIndex(), 7u);
    CQMyFile::FrameTime2SystemTime(recs[2].time, st);
    st.wYear -= 1600;  // the calendar year names another time
    fx.src.Seek(st, kFwd);
    EXPECT_EQ(fx.src.CursorIndex(), 7u);
}

TEST(Navigation, ChangeOfDirectionSwapsWhatIsBuffered) {
    Fixture fx;
    const auto recs = Groups(7, 2);  // group g starts at recs[2 * g]
    fx.src.Feed(Body(recs));
    for (int i = 0; i < 8; ++i) fx.Next();  // four groups read, three unread
    ASSERT_EQ(fx.src.Behind(), 4u);
    ASSERT_EQ(fx.src.Ahead(), 3u);

    // The current direction: nothing moves, nothing is sent.
    fx.src.Seek("x", recs[4].time, kFwd);
    EXPECT_EQ(fx.src.Ahead(), 3u);
    EXPECT_FALSE(fx.src.m_SentCommand.isSeek);

    // To rewind from group 2: groups 3 (wrong side), 4, 5, 6 go behind; 2, 1, 0 come ahead.
    char text[32];
    CQMyFile::FrameTime2SystemTime(recs[4].time, text);
    fx.src.Seek(text, recs[4].time, kRew);
    std::vector<int64_t> ahead, behind;
    for (const auto& g : fx.src.AheadList()) ahead.push_back(g->front()->frameTime);
    for (const auto& g : fx.src.BehindList()) behind.push_back(g->front()->frameTime);
    auto g = [&](int n) { return recs[2 * n].time; };
    EXPECT_EQ(ahead, (std::vector<int64_t>{g(2), g(1), g(0)}));
    EXPECT_EQ(behind, (std::vector<int64_t>{g(6), g(5), g(4), g(3)}));
    EXPECT_EQ(fx.src.GetDuration(), 3 * 80);
    EXPECT_EQ(fx.src.Pending(), 0u);
    // The recorder is asked to go on from the far end of what is buffered.
    EXPECT_TRUE(fx.src.m_SentCommand.isSeek);
    EXPECT_FALSE(fx.src.m_Command.isSeek);
    EXPECT_STREQ(fx.src.m_SentCommand.seekTime, "2019/07/04 07:30:56.000");
    EXPECT_EQ(fx.src.m_Command.orientation, kRew);

    // Each group again from its key frame, latest first.
    for (int n : {2, 1, 0}) {
        ExpectNext(fx, recs[2 * n]);
        ExpectNext(fx, recs[2 * n + 1]);
    }

    // Back to forward with nothing ahead of time t: everything buffered lies behind it.
    fx.src.Seek(text, g(6) + 1, kFwd);
    EXPECT_EQ(fx.src.Ahead(), 0u);
    EXPECT_STREQ(fx.src.m_SentCommand.seekTime, text);
    EXPECT_EQ(fx.src.GetDuration(), 0);
}

TEST(Navigation, GroupsBehindAreTrimmedToOneHundred) {
    Fixture fx;
    const auto recs = Groups(103, 1);
    fx.src.Feed(Body(recs));
    ASSERT_EQ(fx.src.Ahead(), 103u);
    const std::string oldest = fx.src.AheadList().front()->GetPath();
    const std::string second = (*std::next(fx.src.AheadList().begin()))->GetPath();
    for (int i = 0; i < 100; ++i) ExpectNext(fx, recs[i]);
    EXPECT_EQ(fx.src.Behind(), 100u);
    EXPECT_EQ(ListFolder(fx.dir.path()).size(), 103u);
    // The next file opened finds 101 groups behind: the oldest goes with its file.
    ExpectNext(fx, recs[100]);
    EXPECT_EQ(fx.src.Behind(), 100u);
    EXPECT_EQ(ListFolder(fx.dir.path()).size(), 102u);
    EXPECT_FALSE(platform::FileExists(oldest.c_str()));
    EXPECT_TRUE(platform::FileExists(second.c_str()));
    ExpectNext(fx, recs[101]);
    EXPECT_FALSE(platform::FileExists(second.c_str()));
}

TEST(Navigation, UnreadableGroupFileGivesNoFrame) {
    Fixture fx;
    fx.src.Feed(Body(Groups(2, 3)));
    const std::string path = fx.src.AheadList().front()->GetPath();
    platform::DeleteFile(path.c_str());
    const int before = fx.src.GetDuration();
    const frameheader1 f = fx.Next();
    EXPECT_TRUE(IsZero(f));       // never a length without its bytes
    EXPECT_NE(fx.data, nullptr);  // and still memory to copy zero bytes from
    EXPECT_EQ(fx.src.GetDuration(), before - 40);
    fx.Next();
    fx.Next();
    ExpectNext(fx, Groups(2, 3)[3]);  // the next group reads as usual
}

TEST(Navigation, ShortFormRecordsFromTheOpenedFile) {
    // Packed 56-byte headers: kind, codec, time at offset 12, duration, audio time, length,
    // key flag, five more words; then the payload. The third record is cut short.
    TempFolder dir;
    std::vector<uint8_t> file;
    const int32_t lengths[] = {5, 0, 300};
    for (int32_t i = 0; i < 3; ++i) {
        const int64_t time = kT0 + i * kMs;
        const int32_t fields[] = {40 + i, i, lengths[i], i == 0, 1, 2, 3, 4, 5};
        const std::vector<uint8_t> kind = {1, 0, 0, 0, 'h', 'e', 'v', 'c', 0, 0, 0, 0};
        file.insert(file.end(), kind.begin(), kind.end());
        file.insert(file.end(), reinterpret_cast<const uint8_t*>(&time),
                    reinterpret_cast<const uint8_t*>(&time) + 8);
        file.insert(file.end(), reinterpret_cast<const uint8_t*>(fields),
                    reinterpret_cast<const uint8_t*>(fields) + sizeof fields);
        for (int j = 0; j < lengths[i] - (i == 2); ++j) file.push_back(static_cast<uint8_t>(j));
    }
    std::ofstream(dir / "short.bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()), file.size());

    CQMyFile src;
    frameheader rec;
    unsigned char* data = nullptr;
    src.GetNextFrame(rec, data);  // nothing opened yet: no frame
    EXPECT_EQ(rec.kind, 0);
    src.OpenFile((dir / "short.bin").c_str());
    src.GetNextFrame(rec, data);
    EXPECT_EQ(std::make_tuple(rec.kind, std::string(rec.codec), rec.frameTime, rec.length,
                              rec.keyFrame, rec.unknown[4]),
              std::make_tuple(1, std::string("hevc"), kT0, 5, 1, 5));
    EXPECT_EQ(std::vector<uint8_t>(data, data + 5), (std::vector<uint8_t>{0, 1, 2, 3, 4}));
    src.GetNextFrame(rec, data);
    EXPECT_EQ(std::make_pair(rec.frameTime, rec.length), std::make_pair(kT0 + kMs, 0));
    src.GetNextFrame(rec, data);
    EXPECT_EQ(std::make_pair(rec.kind, rec.length), std::make_pair(0, 0));  // truncated
    src.Close();
    EXPECT_TRUE(platform::FileExists((dir / "short.bin").c_str()));  // only read: it stays
}

TEST(Navigation, TurnAtKeepsThePlacesGroupAndDropsAGroupSentAgain) {
    Fixture fx;
    const auto recs = Groups(5, 2);  // group g starts at recs[2 * g]
    auto g = [&](int n) { return recs[2 * n].time; };
    fx.src.Feed(Body(recs));
    for (int i = 0; i < 5; ++i) fx.Next();  // groups 0 and 1 read, group 2 begun

    // Turned back at the picture just read: its group is read again, from its key frame.
    EXPECT_EQ(fx.src.TurnAt(recs[4].time + 1, kRew), g(2));
    std::vector<int64_t> ahead;
    for (const auto& group : fx.src.AheadList()) ahead.push_back(group->front()->frameTime);
    EXPECT_EQ(ahead, (std::vector<int64_t>{g(2), g(1), g(0)}));
    EXPECT_TRUE(fx.src.m_SentCommand.isSeek);

    // The recorder goes on from the group holding the seek time, one held already.
    fx.src.Feed(Body({recs[0], recs[1], recs[2]}));
    EXPECT_EQ(fx.src.Ahead(), 3u);
    for (int n : {2, 1, 0}) {
        ExpectNext(fx, recs[2 * n]);
        ExpectNext(fx, recs[2 * n + 1]);
    }
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
    const int64_t ms = kMs;
    for (const auto& [orientation, start] :
         {std::pair{kRew, kT0 + 160 * ms}, std::pair{kFwd, kT0 + 40 * ms}}) {
        Fixture fx;
        fx.src.Feed(Body(recs));
        for (int i = 0; i < 7; ++i) fx.Next();  // up to channel 1's picture at 240 ms
        EXPECT_EQ(fx.src.TurnAt(kT0 + 240 * ms, orientation, true), start) << orientation;
        // Read back, the group at 160 ms would hand channel 2's picture at 200 ms out before
        // the key frame it needs (at 40 ms): nothing is held, the recorder sends it again.
        if (orientation == kRew) {
            EXPECT_TRUE(fx.src.AheadList().empty());
        }
    }
}
