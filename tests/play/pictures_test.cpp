// PNG files through libavcodec, the bitmap font and the contact sheet, checked on real files.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "contact_sheet.h"
#include "font.h"
#include "png.h"
#include "recorder_time.h"

namespace play {
namespace {

namespace fs = std::filesystem;

class PictureFiles : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("varnel-play-test-" +
               std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    fs::path dir;
};

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
    p.frameTime = FrameTimeOf({2024, 1, 1, 0, 0, 0, 0}) + index * 400'000;  // 25 per second
    return p;
}

const uint8_t* Pixel(const Picture& p, int x, int y) {
    return p.Row(y) + x * 3;
}

TEST_F(PictureFiles, PngKeepsEveryPixelAndTheColourOrder) {
    for (auto [w, h] : {std::pair{1, 1}, {37, 21}, {320, 180}}) {
        Picture in = Gradient(w, h);
        std::string path = (dir / "p.png").string(), error;
        ASSERT_TRUE(WritePng(in, path, error)) << error;
        std::FILE* f = std::fopen(path.c_str(), "rb");
        unsigned char magic[8] = {};
        ASSERT_EQ(std::fread(magic, 1, 8, f), 8u);
        std::fclose(f);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(magic + 1), 3), "PNG");
        Picture out;
        ASSERT_TRUE(ReadPng(path, out, error)) << error;
        ASSERT_EQ(out.width, w);
        ASSERT_EQ(out.height, h);
        EXPECT_EQ(out.bgr, in.bgr) << w << "x" << h;
    }
}

TEST_F(PictureFiles, PngFailuresAreReported) {
    std::string error;
    EXPECT_FALSE(WritePng(Gradient(4, 4), (dir / "missing" / "p.png").string(), error));
    EXPECT_NE(error.find("cannot write"), std::string::npos) << error;
    EXPECT_FALSE(WritePng(Picture(), (dir / "empty.png").string(), error));
    Picture out;
    EXPECT_FALSE(ReadPng((dir / "none.png").string(), out, error));
    std::FILE* f = std::fopen((dir / "junk.png").c_str(), "wb");
    std::fputs("not a png at all", f);
    std::fclose(f);
    EXPECT_FALSE(ReadPng((dir / "junk.png").string(), out, error));
}

TEST(Font, DrawsInsideItsBoxAndClipsAtTheEdge) {
    Picture p(80, 20);
    DrawText(p, 2, 3, "12:34", 2, Colour{255, 255, 255});
    int lit = 0, minX = 99, maxX = -1, minY = 99, maxY = -1;
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x)
            if (Pixel(p, x, y)[0]) {
                ++lit;
                minX = std::min(minX, x), maxX = std::max(maxX, x);
                minY = std::min(minY, y), maxY = std::max(maxY, y);
            }
    EXPECT_GT(lit, 40);
    EXPECT_GE(minX, 2);
    EXPECT_LT(maxX, 2 + TextWidth("12:34", 2));
    EXPECT_GE(minY, 3);
    EXPECT_LT(maxY, 3 + kGlyphHeight * 2);
    // Different digits draw differently; text running off the picture is cut, not wrapped.
    Picture a(6, 7), b(6, 7);
    DrawText(a, 0, 0, "1", 1, Colour{1, 1, 1});
    DrawText(b, 0, 0, "7", 1, Colour{1, 1, 1});
    EXPECT_NE(a.bgr, b.bgr);
    Picture edge(10, 5);
    DrawText(edge, -3, -3, "8888888", 3, Colour{9, 9, 9});
    DrawText(edge, 8, 3, "WXYZ", 4, Colour{9, 9, 9});
    EXPECT_EQ(TextWidth("", 2), 0);
    EXPECT_EQ(TextWidth("2024/01/01 00:00:00.000", 2), 23 * 12 - 2);
}

TEST(ContactSheet, SizeFollowsColumnsAndCount) {
    struct Case {
        int columns, count, w, h, width, height;
    } cases[] = {{4, 16, 320, 180, 1320, 760},
                 {4, 3, 320, 180, 992, 196},
                 {4, 5, 320, 180, 1320, 384},
                 {1, 2, 100, 50, 116, 124}};
    for (const Case& c : cases) {
        int width = 0, height = 0;
        ContactSheet::SheetSize(c.columns, c.count, c.w, c.h, width, height);
        EXPECT_EQ(width, c.width) << c.columns << "/" << c.count;
        EXPECT_EQ(height, c.height) << c.columns << "/" << c.count;
    }
}

TEST(ContactSheet, ThumbnailsSpreadEvenlyOverAnyLengthOfRun) {
    for (int delivered : {1, 5, 16, 31, 32, 33, 100, 1000}) {
        ContactSheet sheet(4, 16, 64);
        for (int i = 0; i < delivered; ++i)
            if (sheet.Wants(i)) sheet.Add(Solid(64, 36, Colour{0, 0, 0}, i));
        EXPECT_EQ(sheet.Count(), std::min(delivered, 16)) << delivered;
        EXPECT_EQ(sheet.ThumbHeight(), 36);
        Picture composed = sheet.Compose();
        int width = 0, height = 0;
        ContactSheet::SheetSize(4, sheet.Count(), 64, 36, width, height);
        EXPECT_EQ(composed.width, width);
        EXPECT_EQ(composed.height, height);
    }
    // The sheet never keeps more than twice its pictures, and what it keeps covers the run.
    ContactSheet sheet(4, 16, 64);
    std::set<int64_t> wanted;
    for (int i = 0; i < 1000; ++i)
        if (sheet.Wants(i)) {
            wanted.insert(i);
            sheet.Add(Solid(64, 36, Colour{0, 0, 0}, i));
        }
    EXPECT_LT(wanted.size(), 120u) << "only wanted pictures need copying";
}

TEST(ContactSheet, ThumbnailsShowTheirPictureAndTime) {
    const Colour colours[] = {{0, 0, 255}, {0, 255, 0}, {255, 0, 0}, {200, 200, 200}};
    ContactSheet sheet(2, 4, 160);
    for (int i = 0; i < 4; ++i) sheet.Add(Solid(640, 360, colours[i], i));
    Picture s = sheet.Compose();
    ASSERT_EQ(s.width, 8 + 2 * 168);
    ASSERT_EQ(s.height, 8 + 2 * (90 + 8));
    for (int i = 0; i < 4; ++i) {
        int x = 8 + (i % 2) * 168, y = 8 + (i / 2) * 98;
        const uint8_t* centre = Pixel(s, x + 80, y + 30);
        EXPECT_EQ(centre[0], colours[i].b) << i;
        EXPECT_EQ(centre[1], colours[i].g) << i;
        EXPECT_EQ(centre[2], colours[i].r) << i;
        // The time is drawn on the picture's lower edge: white text on a darkened band.
        int white = 0, dark = 0;
        for (int yy = y + 75; yy < y + 90; ++yy)
            for (int xx = x; xx < x + 160; ++xx) {
                const uint8_t* p = Pixel(s, xx, yy);
                if (p[0] == 255 && p[1] == 255 && p[2] == 255) ++white;
                if (p[0] == colours[i].b / 3 && p[1] == colours[i].g / 3 &&
                    p[2] == colours[i].r / 3)
                    ++dark;
            }
        EXPECT_GT(white, 50) << i;
        EXPECT_GT(dark, 200) << i;
    }
    // Between the cells lies the sheet's background.
    const uint8_t* gap = Pixel(s, 4, 4);
    EXPECT_EQ(gap[0], 32);
    // Two sheets of different times differ only in their labels' pixels.
    ContactSheet later(2, 4, 160);
    for (int i = 0; i < 4; ++i) {
        Picture p = Solid(640, 360, colours[i], i);
        p.frameTime += 3600 * kTicksPerSecond;
        later.Add(p);
    }
    EXPECT_NE(later.Compose().bgr, s.bgr);
}

TEST(ContactSheet, OtherShapesAreLetterBoxed) {
    ContactSheet sheet(2, 2, 160);
    sheet.Add(Solid(640, 360, Colour{0, 255, 0}, 0));
    sheet.Add(Solid(360, 360, Colour{0, 255, 0}, 1));  // square: bars left and right
    Picture s = sheet.Compose();
    int x = 8 + 168, y = 8;
    EXPECT_EQ(Pixel(s, x + 80, y + 40)[1], 255);
    EXPECT_EQ(Pixel(s, x + 10, y + 40)[1], 0);
    EXPECT_TRUE(ContactSheet(4, 16, 320).Compose().Empty());
}

}  // namespace
}  // namespace play
