#include "playback_api/CVarnel1.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "net/http/url.h"
#include "platform/trace.h"
#include "source/CQMyFile.h"

namespace {
// A host may pass any number (2 prints as "Rewind" in the URL): it becomes one of the two
// directions here, at the boundary, so that no out-of-range value travels in the enum.
MediaElementOrientations OrientationOf(int value) {
    return value == 1 ? MediaElementOrientations_Forward : MediaElementOrientations_Rewind;
}
constexpr size_t kUrlSize = 512;
}  // namespace

bool CVarnel1::Stop(bool wait) {
    CQFFmpegPlayer::Stop(wait);
    return true;
}

void CVarnel1::TakePlayerSettings(const StreamSetting* setting) {
    SetCallbacks(setting->FrameCallback, setting->EndCallback);
    SetSpeedFactor(SpeedFactor(setting->Speed));
    // The merge takes frames in one of two directions only; any other host value would leave
    // the reader taking nothing, and playing nothing with no word of why. Like the URL, it
    // reads 1 as forward and anything else as rewind. Set before the engine starts reading.
    m_nOrientation =
        OrientationOf(setting->Orientation) == MediaElementOrientations_Forward ? 1 : 0;
}

bool CVarnel1::Open(void* window, const StreamSetting* setting) {
    (void)window;
    // The record is the host's only during this call: a deferred open keeps its own copy.
    if (DeferOpen([this, copy = *setting] { Open(nullptr, &copy); })) return true;
    StopForOpen();
    TakePlayerSettings(setting);
    platform::TraceF("m_uID:%d\r\n", m_uID);
    if (setting->DirectURL[0] != '\0') {
        OpenDirect(setting);
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
    std::optional<StreamSetting> fosCopy;
    if (fos != nullptr) fosCopy = *fos;
    if (DeferOpen([this, mainCopy = *main, fosCopy] {
            OpenFOS(&mainCopy, fosCopy ? &*fosCopy : nullptr);
        }))
        return true;
    StopForOpen();
    m_bTwoSources = fos != nullptr;
    TakePlayerSettings(main);
    if (main->DirectURL[0] != '\0') {
        OpenDirect(main);
        return true;
    }
    platform::OutputDebugStringA("-----CVarnel1::OpenFOS-----\r\n");
    char fosUrl[kUrlSize] = {};
    if (fos != nullptr) OpenMyFileURL(fos, FosSource(), fosUrl, true);
    char mainUrl[kUrlSize] = {};
    OpenMyFileURL(main, MainSource(), mainUrl, false);
    CQFFmpegPlayer::Open(mainUrl, fosUrl);
    platform::OutputDebugStringA("-----CVarnel1::OpenFOS\r\n");
    return true;
}

void CVarnel1::BuildURL(const StreamSetting* s, bool fos, char* out, size_t size) {
    BuildURL(s, fos ? "PlayBack1_FOS" : "PlayBack1", std::to_string(s->Key).c_str(), out, size);
}

void CVarnel1::BuildURL(const StreamSetting* s, const char* endpoint, const char* key, char* out,
                        size_t size) {
    const StreamSettingTime& b = s->BeginTime;
    const StreamSettingTime& e = s->EndTime;
    std::snprintf(out, size,
                  "http://%s:%d/%s.cgi?Key=%s,SubKey=%d,FosID=%d,"
                  "BeginTime=%04d/%02d/%02d %02d:%02d:%02d.000,"
                  "EndTime=%04d/%02d/%02d %02d:%02d:%02d.000,"
                  "Resolution=%d,Orientation=%s,IsOnlyKeyFrame=%s,NoAudio=%s",
                  s->IP, s->Port, endpoint, key, s->SubKey, s->FosID, b.Year, b.Month, b.Day,
                  b.Hour, b.Minute, b.Second, e.Year, e.Month, e.Day, e.Hour, e.Minute, e.Second,
                  s->Resolution, s->Orientation == 1 ? "Forward" : "Rewind",
                  s->IsOnlyKeyFrame == 1 ? "True" : "False", s->NoAudio == 1 ? "True" : "False");
}

void CVarnel1::OpenDirect(const StreamSetting* setting) {
    // A direct location replaces only the URL: the working-file options and the command flags
    // of the record still apply, or the source would write to a folder the host never named.
    ConfigureSource(setting, MainSource());
    char url[sizeof setting->DirectURL];
    std::memcpy(url, setting->DirectURL, sizeof url);
    url[sizeof url - 1] = '\0';
    CQFFmpegPlayer::Open(url, "");
}

void CVarnel1::ConfigureSource(const StreamSetting* s, CQMyFile& source) {
    // Texts must end inside their arrays; a record that breaks this is cut there rather than
    // read past its end.
    char writeFile[sizeof s->WriteFileName];
    std::memcpy(writeFile, s->WriteFileName, sizeof writeFile);
    writeFile[sizeof writeFile - 1] = '\0';
    char saveFolder[sizeof s->SaveFolder];
    std::memcpy(saveFolder, s->SaveFolder, sizeof saveFolder);
    saveFolder[sizeof saveFolder - 1] = '\0';
    source.SetOnFile(s->OnFile != 0);
    source.SetAutoRepeat(s->AutoRepeat != 0);
    source.SetWriteFileName(writeFile);
    // An empty folder would put the working files at the root of the file system: the
    // source's own default stays in force instead.
    if (saveFolder[0] != '\0') source.SetSaveFolder(saveFolder);
    source.SetSpeed_Oreietion(OrientationOf(s->Orientation), s->NoAudio != 0,
                              s->IsOnlyKeyFrame != 0, false);
}

bool CVarnel1::OpenMyFileURL(const StreamSetting* s, CQMyFile& source, char* out, bool fos) {
    StreamSetting copy;
    std::memcpy(&copy, s, sizeof copy);
    copy.IP[sizeof copy.IP - 1] = '\0';
    BuildURL(&copy, fos, out, kUrlSize);
    // Traces often go to a file: the recorder's password must not.
    platform::TraceF("%s\r\n", QNetwork::QProtocol::HidePassword(out).c_str());
    ConfigureSource(s, source);
    return true;
}

bool CVarnel1::SetSpeed_Oreietion(int speed, int orientation, bool apply, bool noAudio) {
    const MediaElementOrientations o = OrientationOf(orientation);
    const bool forward = o == MediaElementOrientations_Forward;
    const auto before =
        m_nOrientation == 1 ? MediaElementOrientations_Forward : MediaElementOrientations_Rewind;
    SetSpeedFactor(SpeedFactor(speed));
    // A turn keeps its place: the reader turns both sources at the picture last shown, and
    // their seek carries the rest of this command to the recorder (which is why the rest is
    // set first, in the old direction). Deliberately in both reverse looks: a direction sent
    // only with the next command line would never reach the recorder (the line does not
    // carry it), and a person turning expects to go on from the picture on screen.
    if (apply && before != o) {
        MainSource().SetSpeed_Oreietion(before, noAudio, speed > 0, false);
        FosSource().SetSpeed_Oreietion(before, noAudio, speed > 0, false);
        if (TurnInPlace(forward)) return true;
    }
    MainSource().SetSpeed_Oreietion(o, noAudio, speed > 0, apply);
    FosSource().SetSpeed_Oreietion(o, noAudio, speed > 0, apply);
    // The merge of the two sources and smooth reverse follow the direction sent.
    if (apply) m_nOrientation = forward ? 1 : 0;
    return true;
}
