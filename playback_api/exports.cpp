// The library's exported plain functions: each forwards to a member of its object.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "net/http/url.h"
#include "playback_api/CVarnel1.h"
#include "varnel/varnel.h"

extern "C" {

CVarnel1* CVarnel1_Create(uint32_t unused, int32_t id) {
    (void)unused;
    auto* player = new CVarnel1();  // owned by the host until CVarnel1_Destory
    player->SetID(id);
    return player;
}

bool CVarnel1_Open1(CVarnel1* player, const StreamSetting* setting) {
    return player->Open(nullptr, setting);
}

bool CVarnel1_OpenFOS(CVarnel1* player, const StreamSetting* main, const StreamSetting* fos) {
    return player->OpenFOS(main, fos);
}

bool CVarnel1_Play(CVarnel1* player) {
    return player->Play();
}
bool CVarnel1_Pause(CVarnel1* player) {
    return player->Pause();
}

bool CVarnel1_SetPos(CVarnel1* player, int32_t percent) {
    return player->SetMyFilePos(percent);
}

bool CVarnel1_SetSpeed_Orientation(CVarnel1* player, int32_t speed, int32_t orientation, bool apply,
                                   bool noAudio) {
    return player->SetSpeed_Oreietion(speed, orientation, apply, noAudio);
}

bool CVarnel1_SetReverseMode(CVarnel1* player, int32_t mode) {
    return player->SetReverseMode(mode);
}

void CVarnel1_Close(CVarnel1* player, bool wait) {
    if (player == nullptr) return;
    player->Stop(wait);
    CQFFmpegPlayer::ReleaseDeferred(player);  // destroyed from a callback of this stop
}

void CVarnel1_Destory(CVarnel1* player) {
    CQFFmpegPlayer::Destroy(player);
}

CQFFmpegPlayer* CQFFmpegPlayer_Create(void) {
    return new CQFFmpegPlayer();  // owned by the host until CQFFmpegPlayer_Destory
}

bool CQFFmpegPlayer_Open(CQFFmpegPlayer* player, const char* location) {
    return player->Open(location ? location : "", "");
}

bool CQFFmpegPlayer_Play(CQFFmpegPlayer* player) {
    return player->Play();
}
bool CQFFmpegPlayer_Pause(CQFFmpegPlayer* player) {
    return player->Pause();
}

void CQFFmpegPlayer_Stop(CQFFmpegPlayer* player, bool wait) {
    if (player == nullptr) return;
    player->Stop(wait);
    CQFFmpegPlayer::ReleaseDeferred(player);  // destroyed from a callback of this stop
}

void CQFFmpegPlayer_Destory(CQFFmpegPlayer* player) {
    CQFFmpegPlayer::Destroy(player);
}

size_t varnel_hide_password(const char* url, char* out, size_t size) {
    const std::string shown = QNetwork::QProtocol::HidePassword(url != nullptr ? url : "");
    if (out != nullptr && size > 0) {
        const size_t n = std::min(shown.size(), size - 1);
        std::memcpy(out, shown.data(), n);
        out[n] = '\0';
    }
    return shown.size();
}

}  // extern "C"
