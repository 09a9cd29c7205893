#include "playback_api/CVarnel1.h"

#include <cstdio>
#include <cstring>

#include "platform/trace.h"
#include "source/CQMyFile.h"

namespace {
constexpr size_t kUrlSize = 512;
}

bool CVarnel1::Stop(bool wait) {
    CQFFmpegPlayer::Stop(wait);
    return true;
}

void CVarnel1::TakePlayerSettings(const StreamSetting* setting) {
    SetCallbacks(setting->FrameCallback, setting->EndCallback);
    SetSpeedFactor(SpeedFactor(setting->Speed));
}

bool CVarnel1::Open(void* window, const StreamSetting* setting) {
    (void)window;
    TakePlayerSettings(setting);
    platform::TraceF("m_uID:%d\r\n", m_uID);
    if (setting->DirectURL[0] != '\0') {
        CQFFmpegPlayer::Open(setting->DirectURL, "");
        return true;
    }
    platform::OutputDebugStringA("-----CVarnel1::Open-----\r\n");
    char url[kUrlSize] = {};
    OpenMyFileURL(setting, MainSource(), url, false);
    CQFFmpegPlayer::Open(url, "");
    platform::OutputDebugStringA("-----CVarnel1::Open\r\n");
    return true;
}

bool CVarnel1::OpenFOS(const StreamSetting* main, const StreamSetting* fos) {
    m_bTwoSources = fos != nullptr;
    TakePlayerSettings(main);
    if (main->DirectURL[0] != '\0') {
        CQFFmpegPlayer::Open(main->DirectURL, "");
        return true;
    }
    platform::OutputDebugStringA("-----CVarnel1::OpenFOS-----\r\n");
    char fosUrl[kUrlSize] = {};
    if (fos != nullptr) OpenMyFileURL(fos, FosSource(), fosUrl, true);
    char mainUrl[kUrlSize] = {};
    OpenMyFileURL(main, MainSource(), mainUrl, false);
    CQFFmpegPlayer::Open(mainUrl, fosUrl);
    m_nOrientation = main->Orientation;
    platform::OutputDebugStringA("-----CVarnel1::OpenFOS\r\n");
    return true;
}

void CVarnel1::BuildURL(const StreamSetting* s, bool fos, char* out, size_t size) {
    const StreamSettingTime& b = s->BeginTime;
    const StreamSettingTime& e = s->EndTime;
    std::snprintf(out, size,
                  "http://%s:%d/%s.cgi?Key=%d,SubKey=%d,FosID=%d,"
                  "BeginTime=%04d/%02d/%02d %02d:%02d:%02d.000,"
                  "EndTime=%04d/%02d/%02d %02d:%02d:%02d.000,"
                  "Resolution=%d,Orientation=%s,IsOnlyKeyFrame=%s,NoAudio=%s",
                  s->IP, s->Port, fos ? "PlayBack1_FOS" : "PlayBack1", s->Key, s->SubKey, s->FosID,
                  b.Year, b.Month, b.Day, b.Hour, b.Minute, b.Second, e.Year, e.Month, e.Day,
                  e.Hour, e.Minute, e.Second, s->Resolution,
                  s->Orientation == 1 ? "Forward" : "Rewind",
                  s->IsOnlyKeyFrame == 1 ? "True" : "False", s->NoAudio == 1 ? "True" : "False");
}

bool CVarnel1::OpenMyFileURL(const StreamSetting* s, CQMyFile& source, char* out, bool fos) {
    // The address text must end inside its array; a record that breaks this is cut there
    // rather than read past its end.
    StreamSetting copy;
    std::memcpy(&copy, s, sizeof copy);
    copy.IP[sizeof copy.IP - 1] = '\0';
    copy.WriteFileName[sizeof copy.WriteFileName - 1] = '\0';
    copy.SaveFolder[sizeof copy.SaveFolder - 1] = '\0';
    BuildURL(&copy, fos, out, kUrlSize);
    platform::OutputDebugStringA(out);
    platform::OutputDebugStringA("\r\n");
    source.SetOnFile(copy.OnFile != 0);
    source.SetAutoRepeat(copy.AutoRepeat != 0);
    source.SetWriteFileName(copy.WriteFileName);
    source.SetSaveFolder(copy.SaveFolder);
    source.SetSpeed_Oreietion(static_cast<MediaElementOrientations>(copy.Orientation),
                              copy.NoAudio != 0, copy.IsOnlyKeyFrame != 0, false);
    return true;
}

bool CVarnel1::SetSpeed_Oreietion(int speed, int orientation, bool apply, bool noAudio) {
    const auto o = static_cast<MediaElementOrientations>(orientation);
    MainSource().SetSpeed_Oreietion(o, noAudio, speed > 0, apply);
    FosSource().SetSpeed_Oreietion(o, noAudio, speed > 0, apply);
    SetSpeedFactor(SpeedFactor(speed));
    return true;
}
