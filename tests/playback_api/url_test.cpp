#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "playback_api/CVarnel1.h"

namespace {

StreamSetting Record() {
    StreamSetting s;
    std::memset(&s, 0, sizeof s);
    std::strcpy(s.IP, "10.1.2.3");
    s.Port = 8080;
    s.Key = 7;
    s.SubKey = 8;
    s.FosID = 9;
    s.Resolution = 2;
    s.BeginTime = {2020, 1, 2, 3, 4, 5, 99};
    s.EndTime = {2021, 12, 31, 23, 59, 58, 0};
    s.Orientation = 1;
    return s;
}

std::string Url(const StreamSetting& s, bool fos) {
    char out[512] = {};
    CVarnel1::BuildURL(&s, fos, out, sizeof out);
    return out;
}

}  // namespace

TEST(PlaybackUrl, BuildsTheRecordersQueryByteForByte) {
    StreamSetting s = Record();
    EXPECT_EQ(Url(s, false),
              "http://10.1.2.3:8080/PlayBack1.cgi?Key=7,SubKey=8,FosID=9,"
              "BeginTime=2020/01/02 03:04:05.000,EndTime=2021/12/31 23:59:58.000,"
              "Resolution=2,Orientation=Forward,IsOnlyKeyFrame=False,NoAudio=False");

    struct Case {
        int orientation, keyOnly, noAudio;
        const char* tail;
    } cases[] = {
        {0, 1, 1, "Orientation=Rewind,IsOnlyKeyFrame=True,NoAudio=True"},
        {2, 2, 2, "Orientation=Rewind,IsOnlyKeyFrame=False,NoAudio=False"},
        {-1, 0, 1, "Orientation=Rewind,IsOnlyKeyFrame=False,NoAudio=True"},
    };
    for (const Case& c : cases) {
        s.Orientation = c.orientation;
        s.IsOnlyKeyFrame = c.keyOnly;
        s.NoAudio = c.noAudio;
        const std::string url = Url(s, true);
        EXPECT_EQ(url.rfind("http://10.1.2.3:8080/PlayBack1_FOS.cgi?", 0), 0u) << url;
        EXPECT_EQ(url.substr(url.size() - std::strlen(c.tail)), c.tail);
    }
}
