// The files varnel-play writes and reads, checked on real files: PNG through libavcodec, the
// contact sheet with its bitmap font, and the library's working files that tell the seconds
// buffered ahead.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

#include "buffer_scan.h"
#include "contact_sheet.h"
#include "font.h"
#include "png.h"
#include "recorder_time.h"
#include "tests/net/net_test_util.h"

namespace play {
namespace {

const int64_t T0 = FrameTimeOf({2024, 1, 1, 0, 0, 0, 0});
constexpr int64_t kFrame = 400'000;  // 40 ms, 25 pictures a second

Picture Gradient(int w, int h) {
    Picture p(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* px = p.Row(y) + x * 3;
            px[0] = static_cast<uint8_t>(x * 7);      // blue
            px[1] = static_cast<uint8_t>(y * 5);      // green
            px[2] = static_cast<uint8_t>(x + y * 3);  // red
        }
    return p;
}

Picture Solid(int w, int h, Colour c, int64_t index) {
    Picture p(w, h);
    FillRect(p, 0, 0, w, h, c);
    p.index = index;
    p.frameTime = T0 + index * kFrame;
    return p;
}

const uint8_t* Pixel(const Picture& p, int x, int y) {
    return p.Row(y) + x * 3;
}

TEST(Files, PngKeepsEveryPixelAndTheColourOrderAndReportsFailures) {
    const nettest::TempDir dir;
    std::string path = dir / "p.png", error;
    for (auto [w, h] : {std::pair{1, 1}, {37, 21}, {320, 180}}) {
        Picture in = Gradient(w, h), out;
        ASSERT_TRUE(WritePng(in, path, error)) << error;
        ASSERT_TRUE(ReadPng(path, out, error)) << error;
        ASSERT_EQ(std::pair(out.width, out.height), std::pair(w, h));
        EXPECT_EQ(out.bgr, in.bgr) << w << "x" << h;
    }
    EXPECT_FALSE(WritePng(Gradient(4, 4), dir / "missing/p.png", error));
    EXPECT_NE(error.find("cannot write"), std::string::npos) << error;
    EXPECT_FALSE(WritePng(Picture(), dir / "empty.png", error));
    Picture out;
    EXPECT_FALSE(ReadPng(dir / "none.png", out, error));
    std::ofstream(dir / "junk.png") << "not a png at all";
    EXPECT_FALSE(ReadPng(dir / "junk.png", out, error));
}

TEST(Font, DrawsInsideItsBoxAndClipsAtTheEdge) {
    Picture p(80, 20);
    DrawText(p, 2, 3, "12:34", 2, Colour{255, 255, 255});
    int lit = 0, inside = 0;
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x)
            if (Pixel(p, x, y)[0]) {
                ++lit;
                inside +=
                    x >= 2 && x < 2 + TextWidth("12:34", 2) && y >= 3 && y < 3 + kGlyphHeight * 2;
            }
    EXPECT_GT(lit, 40);
    EXPECT_EQ(inside, lit);
    // Text running off the picture is cut, not wrapped.
    Picture edge(10, 5);
    DrawText(edge, -3, -3, "8888888", 3, Colour{9, 9, 9});
    DrawText(edge, 8, 3, "WXYZ", 4, Colour{9, 9, 9});
    EXPECT_EQ(TextWidth("", 2), 0);
    EXPECT_EQ(TextWidth("2024/01/01 00:00:00.000", 2), 23 * 12 - 2);
}

TEST(ContactSheet, ThumbnailsSpreadEvenlyOverAnyLengthOfRun) {
    const int sizes[][6] = {{4, 16, 320, 180, 1320, 760},
                            {4, 3, 320, 180, 992, 196},
                            {4, 5, 320, 180, 1320, 384},
                            {1, 2, 100, 50, 116, 124}};
    for (auto [columns, count, w, h, width, height] : sizes) {
        int sw = 0, sh = 0;
        ContactSheet::SheetSize(columns, count, w, h, sw, sh);
        EXPECT_EQ(std::pair(sw, sh), std::pair(width, height)) << columns << "/" << count;
    }
    for (int delivered : {1, 5, 16, 31, 32, 33, 100, 1000}) {
        ContactSheet sheet(4, 16, 64);
        std::set<int64_t> wanted;
        for (int i = 0; i < delivered; ++i)
            if (sheet.Wants(i)) {
                wanted.insert(i);
                sheet.Add(Solid(64, 36, Colour{0, 0, 0}, i));
            }
        EXPECT_EQ(sheet.Count(), std::min(delivered, 16)) << delivered;
        EXPECT_EQ(sheet.ThumbHeight(), 36);
        // Only wanted pictures need copying: never many more than twice the sheet's.
        EXPECT_LT(wanted.size(), 120u);
        Picture composed = sheet.Compose();
        int width = 0, height = 0;
        ContactSheet::SheetSize(4, sheet.Count(), 64, 36, width, height);
        EXPECT_EQ(std::pair(composed.width, composed.height), std::pair(width, height));
    }
    EXPECT_TRUE(ContactSheet(4, 16, 320).Compose().Empty());
}

TEST(ContactSheet, ThumbnailsShowTheirPictureAndTimeLetterBoxed) {
    const Colour colours[] = {{0, 0, 255}, {0, 255, 0}, {255, 0, 0}, {200, 200, 200}};
    // The last picture is square: in its cell, bars left and right.
    auto sheetAt = [&](int64_t later) {
        ContactSheet sheet(2, 4, 160);
        for (int i = 0; i < 4; ++i) {
            Picture p = Solid(i == 3 ? 360 : 640, 360, colours[i], i);
            p.frameTime += later;
            sheet.Add(p);
        }
        return sheet.Compose();
    };
    Picture s = sheetAt(0);
    ASSERT_EQ(std::pair(s.width, s.height), std::pair(8 + 2 * 168, 8 + 2 * (90 + 8)));
    for (int i = 0; i < 4; ++i) {
        int x = 8 + (i % 2) * 168, y = 8 + (i / 2) * 98;
        const uint8_t* centre = Pixel(s, x + 80, y + 30);
        EXPECT_EQ(std::tuple(centre[0], centre[1], centre[2]),
                  std::tuple(colours[i].b, colours[i].g, colours[i].r))
            << i;
        // The time is drawn on the picture's lower edge: white text on a darkened band.
        int white = 0, dark = 0;
        for (int yy = y + 75; yy < y + 90; ++yy)
            for (int xx = x; xx < x + 160; ++xx) {
                const uint8_t* p = Pixel(s, xx, yy);
                white += p[0] == 255 && p[1] == 255 && p[2] == 255;
                dark += p[0] == colours[i].b / 3 && p[1] == colours[i].g / 3 &&
                        p[2] == colours[i].r / 3;
            }
        EXPECT_GT(white, 50) << i;
        EXPECT_GT(dark, 200) << i;
    }
    EXPECT_EQ(Pixel(s, 8 + 168 + 10, 8 + 98 + 40)[1], 0) << "no bar beside the square picture";
    EXPECT_EQ(Pixel(s, 4, 4)[0], 32) << "between the cells lies the sheet's background";
    // An hour later only the labels differ, and they do.
    EXPECT_NE(sheetAt(3600 * kTicksPerSecond).bgr, s.bgr);
}

void WriteRecord(std::ofstream& f, int kind, int64_t time, int length, int cut = 0) {
    frameheader1 h;
    std::memset(&h, 0, sizeof h);
    h.kind = kind;
    std::strcpy(h.codec, "h264");
    h.frameTime = time;
    h.duration = 40;
    h.length = length;
    f.write(reinterpret_cast<const char*>(&h), cut ? cut : VARNEL_FRAME_HEADER_SIZE);
    if (!cut) f << std::string(length, '\x01');
}

TEST(Files, WorkingFilesGiveTheRangeAndTheSecondsAhead) {
    const nettest::TempDir dir;
    // Three group files of 25 pictures, each with a sound record after every picture.
    for (int g = 0; g < 3; ++g) {
        std::ofstream f(dir / std::to_string(g), std::ios::binary);
        for (int i = g * 25; i < g * 25 + 25; ++i) {
            WriteRecord(f, VARNEL_KIND_VIDEO, T0 + i * kFrame, 1000 + i);
            WriteRecord(f, VARNEL_KIND_AUDIO, T0 + i * kFrame + 1, 320);
        }
    }
    {
        // A record cut short while being written: the frames before it still count.
        std::ofstream f(dir / "partly", std::ios::binary);
        WriteRecord(f, VARNEL_KIND_VIDEO, T0 + 75 * kFrame, 100);
        WriteRecord(f, VARNEL_KIND_VIDEO, T0 + 76 * kFrame, 100, 30);
    }
    std::ofstream(dir / "notes.txt") << "not a record at all, just some text for the scan";
    std::ofstream(dir / "empty");
    std::filesystem::create_directories(dir / "sub");
    BufferedRange r = ScanWorkingFiles(dir.path.string());
    EXPECT_EQ(std::tuple(r.files, r.earliest, r.latest), std::tuple(4, T0, T0 + 75 * kFrame));
    EXPECT_DOUBLE_EQ(SecondsAhead(r, T0 + 30 * kFrame, 1), 45 * 0.04);
    EXPECT_DOUBLE_EQ(SecondsAhead(r, T0 + 30 * kFrame, 0), 30 * 0.04);
    EXPECT_DOUBLE_EQ(SecondsAhead(r, T0 + 80 * kFrame, 1), 0.0);
    EXPECT_EQ(SecondsAhead(r, -1, 1), -1.0);
    EXPECT_EQ(ScanWorkingFiles(dir / "missing").files, 0);
    EXPECT_EQ(SecondsAhead(BufferedRange{}, T0, 1), -1.0);
}

}  // namespace
}  // namespace play
