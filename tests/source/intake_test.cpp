// The record intake: groups of pictures, their files on disk, the on-file mode and the
// removal of every working file at Close.
#include <gtest/gtest.h>

#include <cctype>
#include <limits>

#include "source_test_util.h"

using namespace srctest;

namespace {

// K1 P P A K2 P K3, with durations that show which frames count.
std::vector<Rec> Sequence() {
    Rec k1 = Key(kT0, 300, 1);
    Rec p1 = P(kT0 + 40 * kMs, 120, 2);
    p1.duration = 41;
    Rec p2 = P(kT0 + 80 * kMs, 0, 3);
    p2.duration = 42;
    Rec a = Audio(kT0 + 100 * kMs, 160, 4);
    a.duration = 7;
    Rec k2 = Key(kT0 + 160 * kMs, 250, 5);
    k2.duration = 50;
    Rec p3 = P(kT0 + 200 * kMs, 90, 6);
    p3.duration = 43;
    Rec k3 = Key(kT0 + 240 * kMs, 80, 7);
    return {k1, p1, p2, a, k2, p3, k3};
}

std::vector<uint8_t> BytesOf(const std::vector<Rec>& recs) {
    return Body(recs);
}

// "<time of the key frame>__<tick count>", the time with the calendar year.
void ExpectGroupFileName(const std::string& name, const std::string& time) {
    ASSERT_GT(name.size(), time.size() + 2) << name;
    EXPECT_EQ(name.substr(0, time.size()), time) << name;
    EXPECT_EQ(name.substr(time.size(), 2), "__") << name;
    std::string tick = name.substr(time.size() + 2);
    if (tick[0] == '-') tick.erase(0, 1);
    ASSERT_FALSE(tick.empty()) << name;
    for (char c : tick) EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(c))) << name;
}

// Every record of the group: read back at its payloadPos from its filePath, which lies right
// after its header in that file.
void ExpectGroupOnDisk(CQMyFile_GOP& group, const std::vector<Rec>& recs, size_t startOffset) {
    ASSERT_EQ(group.size(), recs.size());
    group.Reset();
    size_t offset = startOffset;
    for (const Rec& r : recs) {
        frameheader1 f;
        group.GetNexFrame(f);
        EXPECT_EQ(f.payloadPos, static_cast<int64_t>(offset + VARNEL_FRAME_HEADER_SIZE));
        EXPECT_EQ(std::string(f.filePath), std::string(group.GetPath()));
        EXPECT_EQ(f.payload, nullptr);  // the copy is released once written
        const auto file = ReadAll(f.filePath);
        ASSERT_GE(file.size(), offset + VARNEL_FRAME_HEADER_SIZE + r.length);
        EXPECT_TRUE(
            std::equal(file.begin() + offset, file.begin() + f.payloadPos, Header(r).begin()));
        const auto payload = Payload(r);
        EXPECT_TRUE(std::equal(payload.begin(), payload.end(), file.begin() + f.payloadPos));
        offset += VARNEL_FRAME_HEADER_SIZE + r.length;
    }
    group.Reset();
}

}  // namespace

TEST(Intake, StreamModeWritesOneFilePerGroup) {
    TempFolder dir;
    TestSource src;
    src.SetSaveFolder(dir.path().c_str());
    src.BeginFeed();
    const auto recs = Sequence();
    const auto body = BytesOf(recs);
    auto upTo = [&](size_t n) {
        size_t bytes = 0;
        for (size_t i = 0; i < n; ++i) bytes += VARNEL_FRAME_HEADER_SIZE + recs[i].length;
        return bytes;
    };

    // K1 P P A: nothing is written before a key frame closes the group.
    src.Feed(body, 0, upTo(4));
    EXPECT_TRUE(ListFolder(dir.path()).empty());
    EXPECT_EQ(src.Pending(), 4u);

    // K2: a file named after K2 holds K1 P P A and the group is listed.
    src.Feed(body, upTo(4), upTo(5));
    auto names = ListFolder(dir.path());
    ASSERT_EQ(names.size(), 1u);
    ExpectGroupFileName(names[0], "20190704 07_30_56_160");
    ASSERT_EQ(src.Ahead(), 1u);
    CQMyFile_GOP& first = *src.AheadList().front();
    EXPECT_EQ(std::string(first.GetPath()), dir / names[0]);
    ExpectGroupOnDisk(first, {recs[0], recs[1], recs[2], recs[3]}, 0);
    EXPECT_EQ(ReadAll(dir / names[0]).size(), upTo(4));
    EXPECT_EQ(first.front()->groupDuration, 40 + 41 + 42);  // audio adds nothing
    EXPECT_EQ(src.Pending(), 1u);

    // P K3: a second file, named after K3, holds K2 P; K3 stays pending.
    src.Feed(body, upTo(5), body.size());
    names = ListFolder(dir.path());
    ASSERT_EQ(names.size(), 2u);
    ASSERT_EQ(src.Ahead(), 2u);
    CQMyFile_GOP& second = *src.AheadList().back();
    const std::string secondName = std::string(second.GetPath()).substr(dir.path().size() + 1);
    ExpectGroupFileName(secondName, "20190704 07_30_56_240");
    ExpectGroupOnDisk(second, {recs[4], recs[5]}, 0);
    EXPECT_EQ(second.front()->groupDuration, 50 + 43);
    EXPECT_EQ(src.Pending(), 1u);
    EXPECT_EQ(src.PendingList().front()->frameTime, recs[6].time);
    EXPECT_EQ(src.GetDuration(), 40 + 41 + 42 + 50 + 43 + 40);  // video frames only

    src.Close();
    EXPECT_TRUE(ListFolder(dir.path()).empty());
}

// Found by the splitter's fuzzer: durations near the 32-bit bounds overflowed the group's sum.
TEST(Intake, GroupDurationStopsAtTheBounds) {
    TempFolder dir;
    TestSource src;
    src.SetSaveFolder(dir.path().c_str());
    src.BeginFeed();
    Rec low = Key(kT0, 0), lower = P(kT0 + 40 * kMs, 0);
    low.duration = std::numeric_limits<int32_t>::min();
    lower.duration = -65496;
    src.Feed(Body({low, lower}));
    EXPECT_EQ(src.PendingList().front()->groupDuration, std::numeric_limits<int32_t>::min());
    Rec high = Key(kT0 + 80 * kMs, 0), higher = P(kT0 + 120 * kMs, 0);
    high.duration = std::numeric_limits<int32_t>::max();
    higher.duration = 1;
    src.Feed(Body({high, higher}));
    EXPECT_EQ(src.PendingList().front()->groupDuration, std::numeric_limits<int32_t>::max());
    src.Close();
}

TEST(Intake, OnFileModeIndexesGroupsOfOneFile) {
    for (bool named : {true, false}) {
        SCOPED_TRACE(named ? "with write file name" : "named after the first closing key");
        TempFolder dir;
        TestSource src;
        src.SetSaveFolder(dir.path().c_str());
        src.SetOnFile(true);
        if (named) src.SetWriteFileName((dir / "feed.bin").c_str());
        src.BeginFeed();
        const auto recs = Sequence();
        src.Feed(BytesOf(recs));

        const auto names = ListFolder(dir.path());
        ASSERT_EQ(names.size(), 1u);
        if (named) {
            EXPECT_EQ(names[0], "feed.bin");
        } else {
            ExpectGroupFileName(names[0], "20190704 07_30_56_160");
        }
        ASSERT_EQ(src.Indexed(), 2u);
        EXPECT_EQ(src.Index().begin()->first.frameTime, recs[0].time);
        EXPECT_EQ(std::next(src.Index().begin())->first.frameTime, recs[4].time);
        EXPECT_EQ(src.CursorIndex(), 0u);  // on the first group once it is indexed
        ExpectGroupOnDisk(*src.Index().begin()->second, {recs[0], recs[1], recs[2], recs[3]}, 0);
        size_t second = 0;
        for (int i = 0; i < 4; ++i) second += VARNEL_FRAME_HEADER_SIZE + recs[i].length;
        ExpectGroupOnDisk(*std::next(src.Index().begin())->second, {recs[4], recs[5]}, second);
        EXPECT_EQ(src.Ahead(), 0u);  // nothing queues for the stream reader
        EXPECT_EQ(src.Pending(), 1u);

        src.RecvEnd();  // closes the recorded file
        src.Close();
        EXPECT_TRUE(ListFolder(dir.path()).empty());
    }
}

TEST(Intake, OnFileSameStartTimeIndexedOnce) {
    TempFolder dir;
    TestSource src;
    src.SetSaveFolder(dir.path().c_str());
    src.SetOnFile(true);
    src.BeginFeed();
    src.Feed(Body({Key(kT0, 10, 1), P(kT0 + 40 * kMs, 5), Key(kT0, 20, 2), Key(kT0 + kMs, 30, 3),
                   Key(kT0 + 2 * kMs, 1)}));
    ASSERT_EQ(src.Indexed(), 2u);
    EXPECT_EQ(src.Index().begin()->second->size(), 2u);  // the first of the two kept
    // The dropped duplicate did not take the shared file with it.
    frameheader1 f;
    unsigned char* data = nullptr;
    src.GetNextFrame(&f, data, MediaElementOrientations_Forward);
    EXPECT_EQ(f.length, 10);
    EXPECT_EQ(std::vector<uint8_t>(data, data + 10), Payload(Key(kT0, 10, 1)));
    src.Close();
    EXPECT_TRUE(ListFolder(dir.path()).empty());
}

TEST(Intake, SingleKeyFrameAndForeignOrientationDeliverNothing) {
    TempFolder dir;
    TestSource src;
    src.SetSaveFolder(dir.path().c_str());
    src.BeginFeed();
    src.Feed(Body({Key(kT0, 10)}));
    EXPECT_EQ(src.Ahead(), 0u);
    Rec odd = Key(kT0 + 40 * kMs, 10);
    odd.orientation = 2;  // neither rewind nor forward: the group is discarded with its file
    src.Feed(Body({odd}));
    EXPECT_EQ(src.Ahead(), 1u);
    src.Feed(Body({Key(kT0 + 80 * kMs, 10)}));
    EXPECT_EQ(src.Ahead(), 1u);
    EXPECT_EQ(ListFolder(dir.path()).size(), 1u);
    src.Close();
    EXPECT_TRUE(ListFolder(dir.path()).empty());
}

TEST(Intake, StaleRecordsDroppedAfterChangeOfDirection) {
    TempFolder dir;
    TestSource src;
    src.SetSaveFolder(dir.path().c_str());
    src.BeginFeed();
    // Forward: three groups G0 G1 G2 (2 frames each, 80 ms), G3 pending.
    src.Feed(Body(Groups(3, 2)));
    frameheader1 f;
    unsigned char* data = nullptr;
    src.GetNextFrame(&f, data, MediaElementOrientations_Forward);
    src.GetNextFrame(&f, data, MediaElementOrientations_Forward);  // G0 read
    ASSERT_EQ(src.Behind(), 1u);

    // To rewind from G0: G0 comes ahead again, G2 G1 go behind, the pending group is dropped.
    src.Seek(f.timeText, kT0, MediaElementOrientations_Rewind);
    ASSERT_EQ(src.Ahead(), 1u);
    EXPECT_EQ(src.Pending(), 0u);
    const int64_t f0 = kT0;

    // The recorder still sends forward: the first stale record is taken (nothing is pending
    // to compare), everything after it is dropped while it is not earlier than G0.
    src.Feed(Body({Key(kT0 + 500 * kMs, 10), P(kT0 + 540 * kMs, 10)}));
    EXPECT_EQ(src.Pending(), 1u);
    src.Feed(Body({Key(f0 - 80 * kMs, 10)}));  // even a proper rewind key frame
    EXPECT_EQ(src.Pending(), 1u);
    EXPECT_EQ(src.PayloadHeld(), 0);

    // Once the group being received starts earlier than G0, records are taken.
    TestSource rew;
    rew.SetSaveFolder(dir.path().c_str());
    rew.BeginFeed();
    rew.SetSpeed_Oreietion(MediaElementOrientations_Rewind, false, false, false);
    auto back = Groups(2, 2, kT0, -1);  // groups in falling time order
    rew.Feed(Body(back));
    EXPECT_EQ(rew.Ahead(), 2u);
    EXPECT_EQ(rew.Pending(), 1u);
    rew.Feed(Body({P(kT0 - 160 * kMs + 40 * kMs, 5)}));
    EXPECT_EQ(rew.Pending(), 2u);
    rew.Close();

    // A group being received that starts at the same time as the next unread one is stale in
    // either direction.
    for (auto orientation : {MediaElementOrientations_Forward, MediaElementOrientations_Rewind}) {
        TestSource same;
        same.SetSaveFolder(dir.path().c_str());
        same.BeginFeed();
        same.SetSpeed_Oreietion(orientation, false, false, false);
        same.Feed(Body({Key(kT0, 10), P(kT0 + 40 * kMs, 10), Key(kT0, 10), P(kT0 + 40 * kMs, 5)}));
        EXPECT_EQ(same.Ahead(), 1u);
        EXPECT_EQ(same.Pending(), 1u);
        same.Close();
    }
    src.Close();
    EXPECT_TRUE(ListFolder(dir.path()).empty());
}

TEST(Intake, MissingSaveFolderDropsGroupsAndLeavesNothing) {
    TempFolder dir;
    const std::string missing = dir / "not_there";
    for (bool onFile : {false, true}) {
        SCOPED_TRACE(onFile ? "on-file" : "stream");
        TraceCapture traces;
        TestSource src;
        src.SetSaveFolder(missing.c_str());
        src.SetOnFile(onFile);
        src.BeginFeed();
        src.Feed(Body(Groups(3, 2)));
        EXPECT_EQ(src.Ahead(), 0u);
        EXPECT_EQ(src.Indexed(), 0u);
        EXPECT_EQ(src.Pending(), 1u);
        if (!onFile) {
            EXPECT_TRUE(traces.Has("open fail errno = 2 reason = No such file or directory \n"));
        }
        frameheader1 f;
        std::memset(&f, 0x5A, sizeof f);
        unsigned char* data = nullptr;
        src.GetNextFrame(&f, data, MediaElementOrientations_Forward);
        // Stream mode plays the group still coming, which needs no file; on-file mode reads
        // only its file, and leaves the record as it was.
        EXPECT_EQ(f.kind, onFile ? 0x5A5A5A5A : 1);
        src.Close();
        EXPECT_TRUE(ListFolder(dir.path()).empty());
    }
}

TEST(Intake, CloseRemovesEveryFileAlsoInsideARecord) {
    struct Case {
        bool onFile;
        size_t cutInto;  // bytes of the last record that arrive before the feed ends
    };
    for (const Case& c : {Case{false, 0}, Case{false, 30}, Case{false, 72 + 7}, Case{true, 0},
                          Case{true, 30}, Case{true, 72 + 7}}) {
        SCOPED_TRACE(std::string(c.onFile ? "on-file" : "stream") + " cut " +
                     std::to_string(c.cutInto));
        TempFolder dir;
        TestSource src;
        src.SetSaveFolder(dir.path().c_str());
        src.SetOnFile(c.onFile);
        src.SetMaxBuffer(5000, 30000);
        src.BeginFeed();
        auto recs = Groups(6, 3);
        recs.push_back(P(kT0 + 9999 * kMs, 500));
        auto body = Body(recs);
        if (c.cutInto != 0) body.resize(body.size() - 500 - 72 + c.cutInto);
        src.Feed(body);
        // Read a little so that a read file is open too.
        frameheader1 f;
        unsigned char* data = nullptr;
        for (int i = 0; i < 4; ++i) src.GetNextFrame(&f, data, MediaElementOrientations_Forward);
        EXPECT_FALSE(ListFolder(dir.path()).empty());
        src.RecvEnd();
        src.Close();
        EXPECT_TRUE(ListFolder(dir.path()).empty());
        EXPECT_EQ(src.Unparsed(), 0);
        EXPECT_EQ(src.PayloadHeld(), 0);
        EXPECT_EQ(src.GetDuration(), 0);
    }
}

TEST(Intake, DestroyedWithoutCloseLeavesNoFile) {
    TempFolder dir;
    {
        TestSource src;
        src.SetSaveFolder(dir.path().c_str());
        src.BeginFeed();
        src.Feed(Body(Groups(3, 2)));
        EXPECT_EQ(ListFolder(dir.path()).size(), 3u);
    }
    EXPECT_TRUE(ListFolder(dir.path()).empty());
}

TEST(Intake, SourcesSharingAFolderKeepTheirOwnFrames) {
    // The main and the FOS source in one folder, with key frames at the very same times: fed
    // in turns, both name their groups in the same millisecond, and each must still read back
    // its own camera's bytes.
    TempFolder dir;
    TestSource a, b;
    std::vector<Rec> recsA = Groups(3, 2), recsB = Groups(3, 2);
    for (Rec& r : recsB) r.seed = static_cast<uint8_t>(r.seed + 100);
    for (TestSource* s : {&a, &b}) {
        s->SetSaveFolder(dir.path().c_str());
        s->BeginFeed();
    }
    for (size_t i = 0; i < recsA.size(); ++i) {
        a.Feed(Body({recsA[i]}));
        b.Feed(Body({recsB[i]}));
    }
    a.RecvEnd();
    b.RecvEnd();
    EXPECT_EQ(ListFolder(dir.path()).size(), a.Ahead() + b.Ahead());
    EXPECT_EQ(Snapshot(a), Expected(recsA));
    EXPECT_EQ(Snapshot(b), Expected(recsB));
    a.Close();
    b.Close();
    EXPECT_TRUE(ListFolder(dir.path()).empty());
}

TEST(Intake, RecordsWithoutAKeyFrameAreBounded) {
    // Sound alone never meets a key frame: the records are finished in groups at the bound
    // instead of piling up with their payloads, and none is lost.
    TempFolder dir;
    TestSource src;
    src.SetSaveFolder(dir.path().c_str());
    src.BeginFeed();
    std::vector<Rec> recs;
    size_t most = 0;
    for (int i = 0; i < 2500; ++i) {
        recs.push_back(Audio(kT0 + i * 40 * kMs, 320, static_cast<uint8_t>(i)));
        src.Feed(Body({recs.back()}));
        most = std::max(most, src.Pending());
    }
    EXPECT_LT(most, CQMyFile::kMaxPendingRecords);
    EXPECT_GE(src.Ahead(), 2u);
    EXPECT_EQ(Snapshot(src), Expected(recs));
    src.Close();
    EXPECT_TRUE(ListFolder(dir.path()).empty());
}
