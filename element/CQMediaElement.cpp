// Element lifecycle and the host's control calls: open, close, play, pause, speed and
// direction, frame steps and positioning.
#include "element/CQMediaElement.h"
#include <algorithm>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "foundation/callback_scope.h"
#include "net/http/url.h"
#include "platform/trace.h"

namespace {
bool InCallbackOf(const CQMediaElement* element) {
    return foundation::CallbackScope<CQMediaElement>::Inside(element);
}
}  // namespace

using element::PicturePtr;
using platform::OutputDebugStringA;

namespace {

// Key-frame-only reading is wanted from four times the speed up.
bool KeyFrameSpeed(int speed) {
    return speed >= 2 && speed <= 5;
}

// A record's text cut at its array's end, should the host have left it unterminated.
std::string TextOf(const char* field, size_t size) {
    return std::string(field, strnlen(field, size));
}

}  // namespace

void element::PictureFree::operator()(pictureframe* picture) const {
    if (picture == nullptr) return;
    if (pool != nullptr)
        pool->Give(picture->pixels,
                   engine::PictureDecoder::BGR24Size(picture->width, picture->height));
    else
        av_free(picture->pixels);
    delete picture;
}

CQMediaElement::CQMediaElement() {
    OutputDebugStringA("CQMediaElement::CQMediaElement\r\n");
}

CQMediaElement::~CQMediaElement() {
    Close();
}

bool CQMediaElement::Active() const {
    const int32_t state = m_nState;
    return state == VARNEL_STATE_PLAYING || state == VARNEL_STATE_PAUSED;
}

void CQMediaElement::WakeThreads() {
    {
        // Taken and dropped, so that a thread between its test and its wait still wakes.
        std::lock_guard<std::mutex> hold(m_mtxPacket);
    }
    m_cvDecode.notify_all();
    m_cvRoom.notify_all();
}

bool CQMediaElement::LatchClosed() {
    std::lock_guard<std::mutex> control(m_mtxControl);
    const bool wasOpen = m_nState != VARNEL_STATE_CLOSED;
    m_nState = VARNEL_STATE_CLOSED;
    return wasOpen;
}

bool CQMediaElement::Open(const MediaElementStreamSetting* setting) {
    if (setting == nullptr) {
        OutputDebugStringA("CQMediaElement::Open: no setting\r\n");
        return false;
    }
    if (InCallbackOf(this)) {
        // Opening closes the running play first, which waits for the clock thread: the very
        // thread this call comes on.
        OutputDebugStringA("CQMediaElement::Open refused inside the element callback\r\n");
        return false;
    }
    // Serialised with every close: a close finishing on the clock thread (asked for from the
    // callback) ends before the new play sets up, and none starts while it does.
    std::lock_guard<std::mutex> closing(m_mtxClose);
    OutputDebugStringA("-----CQMediaElement::Open-----\r\n");
    // An element that is still playing is closed first: its threads would otherwise run on
    // the queues and records the new play rebuilds.
    LatchClosed();
    if (m_thRead.Running() || m_thDecode.Running() || m_Clock.IsStarted()) FinishClose();

    m_llBaseTime = -1;
    m_llLastFrameTime = -1;
    m_mapClock.clear();
    m_nOrientation = 1;
    m_bOnlyKeyFrame = false;
    m_bFrameStep = false;
    m_bTurn = false;
    m_nReseek = 0;
    m_nSetPos = -1;
    m_bSeekTime = false;
    m_nSpeed = 0;
    m_bCloseDeferred = false;
    m_bDestroyDeferred = false;
    ClearBuffer();

    m_Setting = *setting;
    // The channel list is host memory, read only during this call.
    const int count =
        setting->channels != nullptr && setting->channelCount > 0 ? setting->channelCount : 0;
    m_vChannels.assign(setting->channels, setting->channels + count);
    m_Setting.channels = m_vChannels.data();
    m_Setting.channelCount = count;
    // A spare buffer a channel: pictures are presented and decoded a few at a time. Fewer
    // spares cost more memory, not less: freed and allocated again, buffers of a few MiB stay
    // in the allocator's arenas.
    m_pool.SetLimit(static_cast<size_t>(count) + 4);

    std::string url;
    OpenMyFileURL(&m_Setting, m_MyFile, url, false);
    {
        std::lock_guard<std::mutex> control(m_mtxControl);
        m_nState = VARNEL_STATE_OPENED;
    }
    m_MyFile.OpenURL(url.c_str(), false);

    {
        std::lock_guard<std::mutex> control(m_mtxControl);
        m_nState = VARNEL_STATE_PLAYING;
    }
    m_Clock.Bind([this](int32_t clockMs) { return UpdateClock(clockMs); });
    m_Clock.StartNew();
    m_thRead.Start([this] { ReadMyFile(); });
    m_thDecode.Start([this] { DecodeVideo(); });
    OutputDebugStringA("-----CQMediaElement::Open\r\n");
    return true;
}

bool CQMediaElement::OpenMyFileURL(const MediaElementStreamSetting* s, CQMyFile& source,
                                   std::string& url, bool fos) {
    std::string key;
    for (int i = 0; i < s->channelCount; ++i) {
        const int32_t channel = s->channels[i];
        if (!key.empty()) key += '.';
        key += std::to_string(channel);
        m_mapClock.try_emplace(channel);
        m_mapPacket.try_emplace(channel);
        m_mapPicture.try_emplace(channel);
        m_mapLoad.try_emplace(channel);
        // Close frees the decoders and keeps the entry: a channel played again gets a new one.
        auto& codec = m_mapCodec[channel];
        if (!codec) codec = std::make_unique<element::ffmpegdata>();
        // The pictures held for smooth reverse share one bound across the channels, with a
        // floor of ten 1080p pictures a channel.
        codec->reverse.SetBound(
            std::max(engine::ReverseGroups::kBytesMax / m_vChannels.size(), size_t{32} << 20));
        // A new play reports every channel afresh.
        m_mapState[channel] = channelstate{channel, VARNEL_CHANNEL_NONE};
    }
    const char* endpoint = s->channelCount >= 1 ? (fos ? "PlayBack1_All_FOS" : "PlayBack1_All")
                                                : (fos ? "PlayBack1_FOS" : "PlayBack1");
    const StreamSettingTime& b = s->beginTime;
    const StreamSettingTime& e = s->endTime;
    const std::string host = TextOf(s->host, sizeof s->host);
    // Formatted to its full length, however many channels the key lists.
    const auto format = [&](char* out, size_t size) {
        return std::snprintf(
            out, size,
            "http://%s:%d/%s.cgi?Key=%s,SubKey=%d,FosID=%d,"
            "BeginTime=%04d/%02d/%02d %02d:%02d:%02d.000,"
            "EndTime=%04d/%02d/%02d %02d:%02d:%02d.000,"
            "Resolution=%d,Orientation=%s,IsOnlyKeyFrame=%s,NoAudio=%s",
            host.c_str(), s->port, endpoint, key.c_str(), s->SubKey, s->FosID, b.Year, b.Month,
            b.Day, b.Hour, b.Minute, b.Second, e.Year, e.Month, e.Day, e.Hour, e.Minute, e.Second,
            s->Resolution, s->orientation == 1 ? "Forward" : "Rewind",
            s->onlyKeyFrame == 1 ? "True" : "False", s->noAudio == 1 ? "True" : "False");
    };
    const int length = format(nullptr, 0);
    url.assign(static_cast<size_t>(std::max(length, 0)) + 1, '\0');
    format(url.data(), url.size());
    url.resize(static_cast<size_t>(std::max(length, 0)));
    // The account stays out of the traces: hosts keep traces in files.
    OutputDebugStringA(QNetwork::QProtocol::HidePassword(url).c_str());
    OutputDebugStringA("\r\n");

    source.SetChannel(static_cast<int>(m_mapClock.size()));
    source.SetOnFile(s->fileMode != 0);
    source.SetAutoRepeat(s->loopFile != 0);
    source.SetWriteFileName(TextOf(s->fileName, sizeof s->fileName).c_str());
    // An empty folder would put the working files at the root of the file system: the
    // source's own default stays in force instead.
    const std::string folder = TextOf(s->saveFolder, sizeof s->saveFolder);
    if (!folder.empty()) source.SetSaveFolder(folder.c_str());
    source.SetSpeed_Oreietion(
        s->orientation == 1 ? MediaElementOrientations_Forward : MediaElementOrientations_Rewind,
        s->noAudio != 0, s->onlyKeyFrame != 0, false);
    source.SetMaxBuffer(30000, 30000);
    return true;
}

bool CQMediaElement::ClearBuffer() {
    OutputDebugStringA("ClearBuffer\r\n");
    m_bInputEnded = false;
    {
        std::lock_guard<std::mutex> pictures(m_mtxPicture);
        std::lock_guard<std::mutex> packets(m_mtxPacket);
        for (auto& [channel, queue] : m_mapPacket) queue.clear();
        for (auto& [channel, queue] : m_mapPicture) queue.clear();
        for (auto& [channel, load] : m_mapLoad) {
            load.packets = 0;
            load.bytes = 0;
            load.pictures = 0;
        }
        // Packets being decoded now belong to the position left behind; the timeline starts
        // anew on the pictures of the new one.
        ++m_nGeneration;
        m_llBaseTime = -1;
        m_llReverseBase = -1;
        m_mapResume.clear();
        m_Clock.Reset();
    }
    m_cvRoom.notify_all();
    OutputDebugStringA("ClearBuffer----\r\n");
    return true;
}

bool CQMediaElement::Close() {
    LatchClosed();
    if (InCallbackOf(this)) {
        // The clock thread holds the picture lock and the decoders may be waiting for it:
        // the rest of the close runs on this thread once the callback has returned.
        m_bCloseDeferred = true;
        return true;
    }
    std::lock_guard<std::mutex> closing(m_mtxClose);
    FinishClose();
    return true;
}

void CQMediaElement::FinishClose() {
    OutputDebugStringA("-----CQMediaElement::Close-----\r\n");
    WakeThreads();
    m_Clock.Stop();
    // The reader may be making a new request to the recorder: interrupted, it returns at once.
    m_MyFile.Interrupt();
    m_thRead.Join();
    m_thDecode.Join();
    m_MyFile.Close();
    for (auto& [channel, codec] : m_mapCodec) codec.reset();
    {
        std::lock_guard<std::mutex> pictures(m_mtxPicture);
        std::lock_guard<std::mutex> packets(m_mtxPacket);
        for (auto& [channel, queue] : m_mapPicture) queue.clear();
        for (auto& [channel, queue] : m_mapPacket) queue.clear();
        m_mapOnScreen.clear();
        m_mapBefore.clear();
        for (auto& [channel, load] : m_mapLoad) {
            load.packets = 0;
            load.bytes = 0;
            load.pictures = 0;
            load.decoding = false;
        }
    }
    m_hWaveOut = nullptr;  // never opened: nothing to close
    m_bCloseDeferred = false;
    OutputDebugStringA("-----CQMediaElement::Close\r\n");
}

void CQMediaElement::Destroy(CQMediaElement* element) {
    if (element == nullptr) return;
    if (InCallbackOf(element)) {
        element->m_bDestroyDeferred = true;
        element->Close();
        return;
    }
    delete element;
}

bool CQMediaElement::Play() {
    std::lock_guard<std::mutex> control(m_mtxControl);
    if (!Active()) return true;  // not open, or closing: closed stays closed
    m_bFrameStep = false;
    m_nState = VARNEL_STATE_PLAYING;
    // waveOutReset on a handle this engine never opens: nothing to do.
    m_Clock.Play();
    return true;
}

bool CQMediaElement::Pause() {
    EnterPause(false);
    return true;
}

bool CQMediaElement::EnterPause(bool onlyFromPlaying) {
    bool report = false;
    {
        std::lock_guard<std::mutex> control(m_mtxControl);
        if (Active() && (!onlyFromPlaying || m_nState == VARNEL_STATE_PLAYING)) {
            m_nState = VARNEL_STATE_PAUSED;
            // waveOutPause on a handle this engine never opens: nothing to do.
            m_Clock.Pause();
            report = true;
        }
    }
    // Outside the control lock: the host may call back into the element from its callback.
    if (report && m_Setting.callback != nullptr && Active())
        m_Setting.callback(0, VARNEL_STATE_PAUSED, 0.0, nullptr, nullptr);
    return m_nState == VARNEL_STATE_PAUSED;
}

void CQMediaElement::SetVolume(bool mute) {
    // The device volume would be saved and zeroed here (and restored as the saved word in
    // both channels); there is no device, so only the element's own record changes.
    m_bMute = mute;
}

bool CQMediaElement::SetReverseMode(int32_t mode) {
    if (mode != VARNEL_REVERSE_GROUPS && mode != VARNEL_REVERSE_SMOOTH) return false;
    m_nReverseMode = mode;
    return true;
}

void CQMediaElement::SetReading(bool forward, bool keyFrames) {
    // A turn goes on from the picture each channel shows; a change between key frames and
    // every frame, from the latest picture shown.
    if ((m_nOrientation == 1) != forward) {
        m_bTurn = true;
        m_nReseek = 1;
    } else if (keyFrames != m_bOnlyKeyFrame) {
        m_nReseek = 1;
    }
    m_bOnlyKeyFrame = keyFrames;
    m_nOrientation = forward ? 1 : 0;
}

namespace {
int ClampSpeed(int speed) {
    // Far beyond these the timeline's arithmetic would leave the range of its numbers; a
    // host gets the nearest speed there is instead.
    return std::clamp(speed, CQMediaElement::kSlowest, CQMediaElement::kFastest);
}
}  // namespace

bool CQMediaElement::Forward(Speeds speed) {
    speed = ClampSpeed(speed);
    const bool keyFrames = KeyFrameSpeed(speed);
    {
        std::lock_guard<std::mutex> control(m_mtxControl);
        if (!Active()) return true;
        SetReading(true, keyFrames);
        m_nSpeed = speed;
    }
    const int first = speed >= 1 ? static_cast<int>(5000 * std::pow(2.0, speed)) : 5000;
    m_MyFile.SetMaxBuffer(first, 30000);
    platform::TraceF("CQMediaElement::Forward speed:%d buffer:%d,%d\r\n", speed, first, 30000);
    SetVolume(speed != 0);
    WakeThreads();
    return true;
}

bool CQMediaElement::Rewind(Speeds speed) {
    speed = ClampSpeed(speed);
    {
        std::lock_guard<std::mutex> control(m_mtxControl);
        if (!Active()) return true;
        // Smooth mode at normal speed or below: every picture backward; otherwise key frames.
        SetReading(false, !(m_nReverseMode == VARNEL_REVERSE_SMOOTH && speed <= 0));
        m_nSpeed = speed;
    }
    WakeThreads();
    return true;
}

bool CQMediaElement::FrameStep_Forward() {
    if (!EnterPause(true)) return true;
    {
        std::lock_guard<std::mutex> control(m_mtxControl);
        if (m_nState != VARNEL_STATE_PAUSED) return true;
        // The direction first: the step's tick may come as soon as the clock is pulsed, and a
        // re-seek it serves goes the way the direction says then.
        SetReading(true, false);
        m_bFrameStep = true;
        m_Clock.Pulse();
    }
    return true;
}

bool CQMediaElement::FrameStep_Rewind() {
    if (!EnterPause(true)) return true;
    {
        std::lock_guard<std::mutex> control(m_mtxControl);
        if (m_nState != VARNEL_STATE_PAUSED) return true;
        // Smooth mode: the picture before the one on screen; otherwise the key frame before.
        SetReading(false, m_nReverseMode != VARNEL_REVERSE_SMOOTH);
        m_bFrameStep = true;
        m_Clock.Pulse();
    }
    return true;
}

bool CQMediaElement::SetPos(int32_t percent) {
    if (m_Setting.fileMode != 1) return true;
    std::lock_guard<std::mutex> control(m_mtxControl);
    if (!Active()) return true;
    m_nSetPos = std::clamp(percent, 0, 100);
    m_nReseek = 1;
    return true;
}

bool CQMediaElement::Seek(const platform::SYSTEMTIME& time) {
    if (m_Setting.fileMode != 1) return true;
    std::lock_guard<std::mutex> control(m_mtxControl);
    if (!Active()) return true;
    // Served like a SetPos, on the clock thread: the queues of the place left are dropped and
    // the timeline starts again on the pictures of the new place, so the jump costs no wait
    // however far it goes.
    m_seekTime = time;
    m_bSeekTime = true;
    m_nReseek = 1;
    return true;
}
