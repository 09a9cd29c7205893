// The seconds buffered ahead, read from working files laid out as the library writes them.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "buffer_scan.h"
#include "recorder_time.h"

namespace play {
namespace {

namespace fs = std::filesystem;
const int64_t T0 = FrameTimeOf({2024, 1, 1, 0, 0, 0, 0});
constexpr int64_t kFrame = 400'000;

void WriteRecord(std::ofstream& f, int kind, int64_t time, int length) {
    frameheader1 h;
    std::memset(&h, 0, sizeof h);
    h.kind = kind;
    std::strcpy(h.codec, "h264");
    h.frameTime = time;
    h.duration = 40;
    h.length = length;
    f.write(reinterpret_cast<const char*>(&h), VARNEL_FRAME_HEADER_SIZE);
    f << std::string(length, '\x01');
}

// A group file of frames first..first+count-1, with an audio record between the pictures.
void WriteGroup(const fs::path& path, int first, int count) {
    std::ofstream f(path, std::ios::binary);
    for (int i = 0; i < count; ++i) {
        WriteRecord(f, VARNEL_KIND_VIDEO, T0 + (first + i) * kFrame, 1000 + i);
        WriteRecord(f, VARNEL_KIND_AUDIO, T0 + (first + i) * kFrame + 1, 320);
    }
}

class WorkingFiles : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("varnel-play-scan-" +
               std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    fs::path dir;
};

TEST_F(WorkingFiles, GroupsGiveTheRangeAndTheSecondsAhead) {
    WriteGroup(dir / "a", 0, 25);
    WriteGroup(dir / "b", 25, 25);
    WriteGroup(dir / "c", 50, 25);
    BufferedRange r = ScanWorkingFiles(dir.string());
    EXPECT_EQ(r.files, 3);
    EXPECT_EQ(r.earliest, T0);
    EXPECT_EQ(r.latest, T0 + 74 * kFrame);
    EXPECT_DOUBLE_EQ(SecondsAhead(r, T0 + 30 * kFrame, 1), 44 * 0.04);
    EXPECT_DOUBLE_EQ(SecondsAhead(r, T0 + 30 * kFrame, 0), 30 * 0.04);
    EXPECT_DOUBLE_EQ(SecondsAhead(r, T0 + 80 * kFrame, 1), 0.0);
    EXPECT_EQ(SecondsAhead(r, -1, 1), -1.0);
}

TEST_F(WorkingFiles, PartlyWrittenAndForeignFilesDoNotConfuseIt) {
    WriteGroup(dir / "a", 0, 10);
    {
        // A record cut short while being written: the frames before it still count.
        std::ofstream f(dir / "b", std::ios::binary);
        WriteRecord(f, VARNEL_KIND_VIDEO, T0 + 10 * kFrame, 100);
        frameheader1 h{};
        h.kind = VARNEL_KIND_VIDEO;
        h.frameTime = T0 + 11 * kFrame;
        f.write(reinterpret_cast<const char*>(&h), 30);
    }
    std::ofstream(dir / "notes.txt") << "not a record at all, just some text for the scan";
    std::ofstream(dir / "empty");
    fs::create_directories(dir / "sub");
    BufferedRange r = ScanWorkingFiles(dir.string());
    EXPECT_EQ(r.files, 2);
    EXPECT_EQ(r.latest, T0 + 10 * kFrame);
    EXPECT_EQ(ScanWorkingFiles((dir / "missing").string()).files, 0);
    EXPECT_EQ(SecondsAhead(BufferedRange{}, T0, 1), -1.0);
}

}  // namespace
}  // namespace play
