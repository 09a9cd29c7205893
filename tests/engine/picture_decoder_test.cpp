// The shared picture decoder against the ffmpeg program: clips made by it, cut into access
// units the way frame records carry them, must decode and convert to the very bytes the
// program's own fast bilinear BGR24 decode gives.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <numeric>
#include <string>
#include <vector>

#include "engine/picture_decoder.h"
#include "engine/reverse_groups.h"
#include "source/source_test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Annex B cut at its access unit delimiters (the clips are made with one in front of every
// picture), as a recorder sends one access unit per frame record.
std::vector<Bytes> AccessUnits(const Bytes& stream, bool hevc) {
    const Bytes aud = hevc ? Bytes{0, 0, 0, 1, 0x46, 0x01} : Bytes{0, 0, 0, 1, 0x09};
    std::vector<Bytes> units;
    for (auto at = std::search(stream.begin(), stream.end(), aud.begin(), aud.end());
         at != stream.end();) {
        const auto next = std::search(at + 1, stream.end(), aud.begin(), aud.end());
        units.emplace_back(at, next);
        at = next;
    }
    return units;
}

// A packet holding one access unit.
ffmpeg::PacketPtr PacketOf(const Bytes& unit) {
    ffmpeg::PacketPtr packet = ffmpeg::MakePacket();
    EXPECT_EQ(av_new_packet(packet.get(), static_cast<int>(unit.size())), 0);
    std::copy(unit.begin(), unit.end(), packet->data);
    return packet;
}

struct Clip {
    std::string codec;
    int width, height;
    std::vector<Bytes> units;
    Bytes reference;  // the ffmpeg program's BGR24 pictures, one after the other
};

// A clip made by the ffmpeg program, in a folder of its own: the cases may run at the same time.
Clip Make(const std::string& codec, int width, int height) {
    const srctest::TempFolder dir;
    const std::string es = dir / codec, ref = dir / "bgr",
                      size = std::to_string(width) + "x" + std::to_string(height);
    const std::string encoder =
        codec == "h264"
            ? "-c:v libx264 -bf 0 -x264-params aud=1:scenecut=0 -f h264"
            : "-c:v libx265 -x265-params aud=1:bframes=0:scenecut=0:log-level=none -f hevc";
    for (const std::string& command :
         {"ffmpeg -v error -y -f lavfi -i testsrc2=size=" + size +
              ":rate=25 -t 2 -g 10 -pix_fmt yuv420p " + encoder + " " + es,
          "ffmpeg -v error -y -f " + codec + " -i " + es +
              " -sws_flags fast_bilinear -pix_fmt bgr24 -fps_mode passthrough -f rawvideo " + ref})
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return Clip{codec, width, height, AccessUnits(srctest::ReadAll(es), codec == "hevc"),
                srctest::ReadAll(ref)};
}

TEST(PictureDecoderTest, PicturesEqualTheProgramsDecodeAcrossChangesAndBackward) {
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
            ASSERT_EQ(decoder.Send(*PacketOf(unit)), 0);
            while (decoder.Receive(frame.get()) == 0) {
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
        // No B-frames and low delay: every access unit has given its picture already.
        EXPECT_TRUE(pictures == clip.reference)
            << clip.codec << " " << clip.width << ": " << pictures.size() << " bytes";
    }

    // Smooth reverse: groups fed latest first, each forward, as a recorder sends a rewind, come
    // out as every picture once in falling time, pts growing, each the program's own decode of
    // it; with a bound of a few pictures the groups are decoded again in segments to get there.
    const Clip& clip = clips[0];
    const int count = static_cast<int>(clip.units.size());
    const size_t size = engine::PictureDecoder::BGR24Size(clip.width, clip.height);
    const size_t bound = 4 * clip.width * clip.height * 3 / 2;  // about three pictures

    engine::ReverseGroups reverse({1, AV_CODEC_FLAG2_FAST}, bound);
    ASSERT_TRUE(decoder.Open("h264"));  // decodes forward what the groups are made of
    std::vector<int64_t> times, pts;
    size_t mostHeld = 0;
    const auto takeOut = [&] {
        engine::HeldPicture out;
        while (reverse.TakeOutgoing(out)) {
            const int64_t n = out.record.frameTime;
            times.push_back(n);
            pts.push_back(out.frame->pts);
            Bytes bgr(size);
            ASSERT_TRUE(decoder.ConvertToBGR24(*out.frame, bgr.data(), clip.width * 3));
            ASSERT_TRUE(n >= 0 && n < count);
            EXPECT_TRUE(std::equal(bgr.begin(), bgr.end(), clip.reference.begin() + n * size))
                << "picture " << n;
        }
    };
    // As the engine does, the pts count the packets' durations in the order they come.
    std::map<int64_t, int64_t> timeOfPts;
    int64_t arrival = 0;
    // Groups of 10 (the clips have no scene cuts), the latest first.
    for (int first = (count - 1) / 10 * 10; first >= 0; first -= 10) {
        for (int i = first; i < std::min(count, first + 10); ++i) {
            ffmpeg::PacketPtr packet = PacketOf(clip.units[i]);
            packet->pts = arrival += 40;
            timeOfPts[packet->pts] = i;
            packet->duration = 40;
            if (i == first) packet->flags |= AV_PKT_FLAG_KEY;
            engine::video_ext record{};
            record.frameTime = i;
            std::copy_n("h264", 5, record.codec);
            reverse.AddPacket(*packet, record);
            ASSERT_EQ(decoder.Send(*packet), 0);
            while (decoder.Receive(frame.get()) == 0) {
                engine::HeldPicture held{ffmpeg::MakeFrame(), true, record, 40};
                held.record.frameTime = timeOfPts.at(frame->pts);
                av_frame_move_ref(held.frame.get(), frame.get());
                reverse.AddPicture(std::move(held));
                mostHeld = std::max(mostHeld, reverse.BytesHeld());
            }
            takeOut();
        }
    }
    reverse.EndGroup();
    takeOut();

    std::vector<int64_t> want(count);
    std::iota(want.rbegin(), want.rend(), 0);
    EXPECT_EQ(times, want);
    EXPECT_TRUE(std::is_sorted(pts.begin(), pts.end())) << "pts grow in the order shown";
    EXPECT_GT(reverse.Redecoded(), 0u) << "groups longer than the bound are decoded again";
    EXPECT_LE(mostHeld, bound + bound / 2);
}

}  // namespace
