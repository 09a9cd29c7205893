// The shared picture decoder against the ffmpeg program: clips made by it, cut into access
// units the way frame records carry them, must decode and convert to the very bytes the
// program's own fast bilinear BGR24 decode gives.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/picture_decoder.h"

namespace {

namespace fs = std::filesystem;

using Bytes = std::vector<uint8_t>;

Bytes ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Shell(const std::string& command) {
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

// Annex B cut at its access unit delimiters (the clips are made with one in front of every
// picture), as a recorder sends one access unit per frame record.
std::vector<Bytes> AccessUnits(const Bytes& stream, bool hevc) {
    const Bytes aud = hevc ? Bytes{0, 0, 0, 1, 0x46, 0x01} : Bytes{0, 0, 0, 1, 0x09};
    std::vector<size_t> starts;
    for (auto it = stream.begin();
         (it = std::search(it, stream.end(), aud.begin(), aud.end())) != stream.end(); ++it)
        starts.push_back(static_cast<size_t>(it - stream.begin()));
    starts.push_back(stream.size());
    std::vector<Bytes> units;
    for (size_t i = 0; i + 1 < starts.size(); ++i)
        units.emplace_back(stream.begin() + starts[i], stream.begin() + starts[i + 1]);
    return units;
}

struct Clip {
    std::string codec;
    int width, height;
    std::vector<Bytes> units;
    Bytes reference;  // the ffmpeg program's BGR24 pictures, one after the other
};

class PictureDecoderTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("varnel-decoder-test-" +
               std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    Clip Make(const std::string& codec, int width, int height) {
        const std::string size = std::to_string(width) + "x" + std::to_string(height);
        const fs::path es = dir / (codec + "-" + size + "." + codec);
        const fs::path ref = dir / (codec + "-" + size + ".bgr");
        const std::string encoder =
            codec == "h264" ? "-c:v libx264 -bf 0 -x264-params aud=1 -f h264"
                            : "-c:v libx265 -x265-params aud=1:bframes=0:log-level=none -f hevc";
        Shell("ffmpeg -v error -y -f lavfi -i testsrc2=size=" + size +
              ":rate=25 -t 2 -g 10 -pix_fmt yuv420p " + encoder + " " + es.string());
        Shell("ffmpeg -v error -y -f " + codec + " -i " + es.string() +
              " -sws_flags fast_bilinear -pix_fmt bgr24 -fps_mode passthrough -f rawvideo " +
              ref.string());
        return Clip{codec, width, height, AccessUnits(ReadAll(es), codec == "hevc"), ReadAll(ref)};
    }

    fs::path dir;
};

TEST_F(PictureDecoderTest, PicturesEqualTheProgramsDecodeAcrossCodecAndSizeChanges) {
    const std::vector<Clip> clips = {Make("h264", 320, 240), Make("hevc", 352, 288),
                                     Make("h264", 176, 144)};
    for (const Clip& clip : clips) ASSERT_GE(clip.units.size(), 40u) << clip.codec;

    // Both ways the engines convert: into a buffer of the caller's, and into the decoder's
    // own target, alternately, so that each way meets the size changes.
    engine::PictureDecoder decoder({1, AV_CODEC_FLAG2_FAST});
    EXPECT_FALSE(decoder.Open("mjpeg")) << "no decoder for an unknown name before any other";
    ffmpeg::FramePtr frame = ffmpeg::MakeFrame();
    int shown = 0;
    for (const Clip& clip : clips) {
        Bytes pictures;
        const size_t size = engine::PictureDecoder::BGR24Size(clip.width, clip.height);
        for (const Bytes& unit : clip.units) {
            // Every record names its codec: the same name must keep the decoder's references.
            ASSERT_TRUE(decoder.Open(clip.codec.c_str()));
            ffmpeg::PacketPtr packet = ffmpeg::MakePacket();
            ASSERT_EQ(av_new_packet(packet.get(), static_cast<int>(unit.size())), 0);
            std::copy(unit.begin(), unit.end(), packet->data);
            ASSERT_EQ(decoder.Send(*packet), 0);
            while (decoder.Receive(frame.get()) == 0) {
                ASSERT_EQ(frame->width, clip.width);
                Bytes out(size);
                if (++shown % 2 == 0) {
                    ASSERT_TRUE(decoder.ConvertToBGR24(*frame, out.data(), clip.width * 3));
                } else {
                    ASSERT_TRUE(decoder.ConvertToTarget(*frame));
                    const AVFrame* target = decoder.Target();
                    ASSERT_EQ(target->linesize[0], clip.width * 3);
                    std::copy(target->data[0], target->data[0] + size, out.begin());
                }
                pictures.insert(pictures.end(), out.begin(), out.end());
            }
        }
        EXPECT_EQ(decoder.CodecName(), clip.codec);
        // No B-frames and low delay: every access unit has given its picture already.
        ASSERT_EQ(pictures.size(), clip.reference.size()) << clip.codec << " " << clip.width;
        EXPECT_TRUE(pictures == clip.reference) << clip.codec << " " << clip.width;
    }
}

}  // namespace
