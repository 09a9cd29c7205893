// The record intake: groups of pictures, their files on disk, the on-file mode and the
// removal of every working file at Close.
#include <gtest/gtest.h>

#include <regex>
#include <tuple>

#include "source_test_util.h"

using namespace srctest;

namespace {

// K1 P P A K2 P K3, with durations that show which frames count.
std::vector<Rec> Sequence() {
    // (kind, ms, key frame, length, duration)
    const int plan[][5] = {{1, 0, 1, 300, 40},  {1, 40, 0, 120, 41},  {1, 80, 0, 0, 42},
                           {2, 100, 0, 160, 7}, {1, 160, 1, 250, 50}, {1, 200, 0, 90, 43},
                           {1, 240, 1, 80, 40}};
    std::vector<Rec> recs;
    for (const auto& [kind, ms, key, length, duration] : plan) {
        const auto seed = static_cast<uint8_t>(recs.size() + 1);
        recs.push_back(Rec{kind, kT0 + ms * kMs, duration, key, length, 1, 0, seed});
    }
    return recs;
}

// The records [from, to) as they lie in a file.
std::vector<uint8_t> Part(const std::vector<Rec>& recs, size_t from, size_t to) {
    return Body({recs.begin() + from, recs.begin() + to});
}

// "<time of the key frame>__<tick count>", the time with the calendar year.
bool NamedAfter(const std::string& path, const std::string& time) {
    return std::regex_match(path, std::regex("(.*/)?" + time + "__-?[0-9]+"));
}

}  // namespace

TEST(Intake, StreamModeWritesOneFilePerGroup) {
    Fixture fx;
    const auto recs = Sequence();
    // K1 P P A: nothing is written before a key frame closes the group.
    fx.src.Feed(Part(recs, 0, 4));
    EXPECT_TRUE(fx.dir.Files().empty());
    EXPECT_EQ(fx.src.Pending(), 4u);
    // K2 lists K1 P P A at once; P K3 then K2 P; K3 stays pending. Each group in a file of its
    // own named after the key frame that closed it, its time the video frames' (not audio).
    fx.src.Feed(Part(recs, 4, 5));
    EXPECT_EQ(fx.src.Ahead(), 1u);
    fx.src.Feed(Part(recs, 5, 7));
    ASSERT_EQ(fx.src.Lists(), (Sizes{2, 0, 1}));
    const std::tuple<size_t, size_t, std::string, int> groups[] = {{0, 4, "160", 40 + 41 + 42},
                                                                   {4, 6, "240", 50 + 43}};
    auto group = fx.src.m_listAhead.begin();
    for (const auto& [from, to, ms, duration] : groups) {
        const std::string path = (*group)->GetPath();
        EXPECT_TRUE(NamedAfter(path, fx.dir.path.string() + "/20190704 07_30_56_" + ms)) << path;
        EXPECT_EQ(ReadAll(path), Part(recs, from, to));
        EXPECT_EQ((*group++)->front()->groupDuration, duration);
    }
    EXPECT_EQ(fx.dir.Files().size(), 2u);
    EXPECT_EQ(Snapshot(fx.src), Expected(recs));
    EXPECT_EQ(fx.src.GetDuration(), 40 + 41 + 42 + 50 + 43 + 40);
}

// Found by the splitter's fuzzer: durations near the 32-bit bounds overflowed the group's sum.
TEST(Intake, GroupDurationStopsAtTheBounds) {
    Fixture fx;
    // (the key frame's duration, the P frame's): their sum passes a bound.
    for (const auto& [key, p] : {std::pair{INT32_MIN, -65496}, std::pair{INT32_MAX, 1}}) {
        const int64_t t = kT0 + (key < 0 ? 0 : 80 * kMs);
        fx.src.Feed(Body({Rec{1, t, key, 1, 0, 1, 0, 0}, Rec{1, t + 40 * kMs, p, 0, 0, 1, 0, 0}}));
        EXPECT_EQ(fx.src.m_listPending.front()->groupDuration, key);
    }
}

TEST(Intake, OnFileModeIndexesGroupsOfOneFile) {
    for (bool named : {true, false}) {
        SCOPED_TRACE(named ? "with write file name" : "named after the first closing key");
        Fixture fx(true);
        if (named) fx.src.SetWriteFileName((fx.dir / "feed.bin").c_str());
        const auto recs = Sequence();
        fx.src.Feed(Body(recs));
        const auto files = fx.dir.Files();
        ASSERT_EQ(files.size(), 1u);
        EXPECT_TRUE(named ? files[0] == "feed.bin" : NamedAfter(files[0], "20190704 07_30_56_160"));
        EXPECT_EQ(ReadAll(fx.dir / files[0]), Part(recs, 0, 6));
        ASSERT_EQ(fx.src.m_mapGOP.size(), 2u);
        EXPECT_EQ(ReadBack(*fx.src.m_mapGOP.begin()->second), Expected(recs, 0, 4));
        EXPECT_EQ(ReadBack(*fx.src.m_mapGOP.rbegin()->second), Expected(recs, 4, 6));
        EXPECT_EQ(fx.src.CursorIndex(), 0u);          // on the first group once it is indexed
        EXPECT_EQ(fx.src.Lists(), (Sizes{0, 0, 1}));  // nothing queues for the stream reader
        // A group starting at the time of one indexed is dropped: the first stays, its file too.
        fx.src.Feed(Body({Key(kT0 + 240 * kMs, 20, 9), Key(kT0 + 241 * kMs, 30)}));
        ASSERT_EQ(fx.src.m_mapGOP.size(), 3u);
        EXPECT_EQ(ReadBack(*fx.src.m_mapGOP.rbegin()->second), Expected(recs, 6, 7));
        fx.src.RecvEnd();  // closes the recorded file
    }
}

// Short feeds, each into a fresh source, and the lists they leave (groups ahead, behind,
// records pending): every group listed has its file, and no other file is left.
TEST(Intake, ShortFeedsAndTheGroupsTheyList) {
    Rec odd = Key(kT0 + 40 * kMs, 10);
    odd.orientation = 2;  // neither rewind nor forward: its group is discarded with its file
    auto earlier = Groups(2, 2, kT0, -1);  // groups in falling time order
    earlier.push_back(P(kT0 - 120 * kMs, 5));
    const std::vector<Rec> again = {Key(kT0, 10), P(kT0 + 40 * kMs, 10), Key(kT0, 10),
                                    P(kT0 + 40 * kMs, 5)};
    const std::tuple<MediaElementOrientations, std::vector<Rec>, Sizes> rows[] = {
        {kFwd, {Key(kT0, 10)}, {0, 0, 1}},  // a single key frame finishes no group
        {kFwd, {Key(kT0, 10), odd, Key(kT0 + 80 * kMs, 10)}, {1, 0, 1}},
        // In rewind a group that starts earlier than the last one is taken.
        {kRew, earlier, {2, 0, 2}},
        // A group being received that starts at the same time as the next unread one is stale
        // in either direction.
        {kFwd, again, {1, 0, 1}},
        {kRew, again, {1, 0, 1}}};
    for (const auto& [orientation, recs, lists] : rows) {
        Fixture fx;
        fx.src.SetSpeed_Oreietion(orientation, false, false, false);
        fx.src.Feed(Body(recs));
        EXPECT_EQ(fx.src.Lists(), lists) << &recs - &std::get<1>(rows[0]);
        EXPECT_EQ(fx.dir.Files().size(), lists[0]);
    }
}

TEST(Intake, StaleRecordsDroppedAfterChangeOfDirection) {
    // Forward: three groups G0 G1 G2 (2 frames each, 80 ms), G3 pending; G0 read. To rewind
    // from G0: G0 comes ahead again, G2 G1 go behind, the pending group is dropped.
    const auto recs = Groups(3, 2);
    Fixture fx(recs);
    fx.Read(2);
    fx.src.Seek("2019/07/04 07:30:56.000", kT0, kRew);
    EXPECT_EQ(fx.src.Lists(), (Sizes{1, 2, 0}));
    // The recorder still sends forward: the first stale record is taken (nothing is
    // pending to compare), everything after it is dropped while it is not earlier than G0,
    // even a proper rewind key frame.
    const Rec stale = Key(kT0 + 500 * kMs, 10);
    fx.src.Feed(Body({stale, P(kT0 + 540 * kMs, 10), Key(kT0 - 80 * kMs, 10)}));
    EXPECT_EQ(Snapshot(fx.src), Expected({recs[0], recs[1], stale}));
    EXPECT_EQ(fx.src.PayloadHeld(), 0);
}

TEST(Intake, MissingSaveFolderDropsGroupsAndLeavesNothing) {
    for (bool onFile : {false, true}) {
        SCOPED_TRACE(onFile ? "on-file" : "stream");
        Fixture fx(onFile);
        fx.src.SetSaveFolder((fx.dir / "not_there").c_str());
        std::vector<std::string> traces;
        varnel_set_trace_sink(
            [](const char* line, void* to) {
                static_cast<std::vector<std::string>*>(to)->emplace_back(line);
            },
            &traces);
        fx.src.Feed(Body(Groups(3, 2)));
        varnel_set_trace_sink(nullptr, nullptr);
        EXPECT_EQ(fx.src.Lists(), (Sizes{0, 0, 1}));
        EXPECT_EQ(fx.src.m_mapGOP.size(), 0u);
        const std::string failed = "open fail errno = 2 reason = No such file or directory \n";
        EXPECT_TRUE(onFile || std::find(traces.begin(), traces.end(), failed) != traces.end());
        // Stream mode plays the group still coming, which needs no file; on-file mode reads
        // only its file, and leaves the record as it was.
        EXPECT_EQ(fx.Next().kind, onFile ? 0x5A5A5A5A : 1);
    }
}

TEST(Intake, CloseRemovesEveryFileAlsoInsideARecord) {
    for (bool onFile : {false, true}) {
        // Bytes of the last record that arrive before the feed ends.
        for (size_t cutInto : {0, 30, 72 + 7}) {
            SCOPED_TRACE(std::to_string(onFile) + " cut " + std::to_string(cutInto));
            Fixture fx(onFile);
            fx.src.SetMaxBuffer(5000, 30000);
            auto recs = Groups(6, 3);
            recs.push_back(P(kT0 + 9999 * kMs, 500));
            auto body = Body(recs);
            if (cutInto != 0) body.resize(body.size() - 500 - 72 + cutInto);
            fx.src.Feed(body);
            fx.Read(4);  // so that a read file is open too
            EXPECT_FALSE(fx.dir.Files().empty());
            fx.src.RecvEnd();
            fx.src.Close();
            EXPECT_TRUE(fx.dir.Files().empty());
            EXPECT_EQ(
                std::make_tuple(fx.src.Unparsed(), fx.src.PayloadHeld(), fx.src.GetDuration()),
                std::make_tuple(0LL, 0LL, 0));
        }
    }
}

TEST(Intake, SourcesSharingAFolderKeepTheirOwnFrames) {
    // The main and the FOS source in one folder, with key frames at the very same times: fed
    // in turns, both name their groups in the same millisecond, and each must still read back
    // its own camera's bytes. The source destroyed without a Close leaves no file either.
    Fixture a;
    TestSource b;
    b.SetSaveFolder(a.dir.path.c_str());
    b.BeginFeed();
    std::vector<Rec> recsA = Groups(3, 2), recsB = Groups(3, 2);
    for (Rec& r : recsB) r.seed = static_cast<uint8_t>(r.seed + 100);
    for (size_t i = 0; i < recsA.size(); ++i) {
        a.src.Feed(Body({recsA[i]}));
        b.Feed(Body({recsB[i]}));
    }
    a.src.RecvEnd();
    b.RecvEnd();
    EXPECT_EQ(a.dir.Files().size(), a.src.Ahead() + b.Ahead());
    EXPECT_EQ(Snapshot(a.src), Expected(recsA));
    EXPECT_EQ(Snapshot(b), Expected(recsB));
    // b goes without a Close, before a closes and finds the folder empty.
}

TEST(Intake, RecordsWithoutAKeyFrameAreBounded) {
    // Sound alone never meets a key frame: the records are finished in groups at the bound
    // instead of piling up with their payloads, and none is lost.
    Fixture fx;
    std::vector<Rec> recs;
    size_t most = 0;
    for (int i = 0; i < 2500; ++i) {
        recs.push_back(Rec{2, kT0 + i * 40 * kMs, 0, 0, 320, 1, 0, static_cast<uint8_t>(i)});
        fx.src.Feed(Body({recs.back()}));
        most = std::max(most, fx.src.Pending());
    }
    EXPECT_LT(most, CQMyFile::kMaxPendingRecords);
    EXPECT_GE(fx.src.Ahead(), 2u);
    EXPECT_EQ(Snapshot(fx.src), Expected(recs));
}
