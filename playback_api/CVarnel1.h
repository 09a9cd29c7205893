// The remote playback object: turns the host's StreamSetting records into the recorder's
// playback URLs and stream-source settings, and changes speed and direction on the fly.
#pragma once

#include "engine/CQFFmpegPlayer.h"
#include "varnel/varnel.h"

class CQMyFile;

// Declared a struct, as the public header names it for C hosts.
struct CVarnel1 : public CQFFmpegPlayer {
public:
    CVarnel1() = default;
    ~CVarnel1() override = default;

    bool Stop(bool wait) override;
    bool Play() override { return CQFFmpegPlayer::Play(); }
    bool Pause() override { return CQFFmpegPlayer::Pause(); }
    virtual bool CheckContent(int) { return true; }
    virtual bool PlayEnd() { return true; }

    bool Init(void*) { return true; }
    bool Open(void* window, const StreamSetting* setting);
    bool OpenFOS(const StreamSetting* main, const StreamSetting* fos);
    bool OpenDownload(void*, const char*, const char*) { return true; }
    bool SetSpeed_Oreietion(int speed, int orientation, bool apply, bool noAudio);
    void SendCommand() {}

    // The playback URL of a record, exactly as the recorder receives it.
    static void BuildURL(const StreamSetting* setting, bool fos, char* out, size_t size);
    // The same for any endpoint, with the key as text: several channels of one request
    // ("PlayBack1_All", key "1.2.3") are asked for in this one form.
    static void BuildURL(const StreamSetting* setting, const char* endpoint, const char* key,
                         char* out, size_t size);

protected:
    bool OpenMyFileURL(const StreamSetting* setting, CQMyFile& source, char* out, bool fos);

private:
    void TakePlayerSettings(const StreamSetting* setting);
    void OpenDirect(const StreamSetting* setting);
    static void ConfigureSource(const StreamSetting* setting, CQMyFile& source);
};
