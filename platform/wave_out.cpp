#include "platform/wave_out.h"

#include <SDL.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/sdl_runtime.h"

namespace platform {

struct WaveOutDevice {
    struct Message {
        uint32_t message;
        WAVEHDR* header;
    };

    SDL_AudioDeviceID sdl = 0;
    WaveOutProc callback = nullptr;
    uintptr_t instance = 0;
    uint16_t channels = 1;
    uint16_t bits = 16;

    // Everything below is shared by the caller's threads, SDL's audio thread and the callback
    // thread. SDL holds its device lock while it pulls samples and the pull takes this lock, so
    // no SDL device function may be called while holding it.
    std::mutex lock;
    std::condition_variable wake;       // the callback thread: a message is waiting
    std::condition_variable delivered;  // resets: a message has been delivered
    std::deque<WAVEHDR*> playing;       // the front block is the one being played
    uint32_t position = 0;              // bytes of the front block already played
    std::deque<Message> messages;       // to deliver, in order
    WAVEHDR* delivering = nullptr;      // header whose WOM_DONE is in the callback now
    uint64_t posted = 0;                // messages queued so far
    uint64_t deliveredCount = 0;        // messages whose callback has returned
    bool paused = false;
    uint32_t volume = 0xFFFFFFFF;

    std::thread thread;  // the callback thread, joined by waveOutClose

    bool OnCallbackThread() const { return thread.get_id() == std::this_thread::get_id(); }

    void Post(uint32_t message, WAVEHDR* header) {  // under lock
        messages.push_back({message, header});
        ++posted;
        wake.notify_one();
    }

    bool Pending(const WAVEHDR* header) const {  // under lock
        if (header == delivering) return true;
        return std::any_of(messages.begin(), messages.end(),
                           [header](const Message& m) { return m.header == header; });
    }

    void Finish(WAVEHDR* header) {  // under lock; header taken off playing by the caller
        header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
        Post(WOM_DONE, header);
    }

    void Deliver() {
        std::unique_lock<std::mutex> guard(lock);
        for (;;) {
            wake.wait(guard, [this] { return !messages.empty(); });
            Message next = messages.front();
            messages.pop_front();
            delivering = next.header;
            guard.unlock();
            callback(this, next.message, instance, reinterpret_cast<uintptr_t>(next.header), 0);
            guard.lock();
            // The header may be freed by now: only its address is compared from here on.
            delivering = nullptr;
            ++deliveredCount;
            delivered.notify_all();
            if (next.message == WOM_CLOSE) return;
        }
    }

    // Scales samples by the volume words. The whole output buffer is scaled after it is
    // filled, so a sample split across two blocks is scaled whole; silence stays silence.
    void ApplyVolume(uint8_t* out, int len, uint32_t words) const {
        const uint32_t left = words & 0xFFFF;
        const uint32_t right = channels == 2 ? words >> 16 : left;
        if (left == 0xFFFF && right == 0xFFFF) return;
        if (bits == 8) {
            for (int i = 0; i < len; ++i) {
                const int32_t v = (i % channels == 0) ? left : right;
                out[i] = static_cast<uint8_t>(128 + (int32_t{out[i]} - 128) * v / 0xFFFF);
            }
            return;
        }
        for (int i = 0; i + 1 < len; i += 2) {
            const int32_t v = ((i / 2) % channels == 0) ? left : right;
            const auto sample = static_cast<int16_t>(out[i] | (out[i + 1] << 8));
            const auto scaled = static_cast<uint16_t>(static_cast<int16_t>(sample * v / 0xFFFF));
            out[i] = static_cast<uint8_t>(scaled & 0xFF);
            out[i + 1] = static_cast<uint8_t>(scaled >> 8);
        }
    }

    static void Pull(void* user, Uint8* out, int len) {
        auto* device = static_cast<WaveOutDevice*>(user);
        const uint8_t silence = device->bits == 8 ? 0x80 : 0;
        std::lock_guard<std::mutex> guard(device->lock);
        int filled = 0;
        while (!device->paused && !device->playing.empty()) {
            WAVEHDR* header = device->playing.front();
            const uint32_t left = header->dwBufferLength - device->position;
            if (left == 0) {
                device->playing.pop_front();
                device->position = 0;
                device->Finish(header);
                continue;
            }
            if (filled == len) break;
            const uint32_t n = std::min<uint32_t>(left, static_cast<uint32_t>(len - filled));
            std::memcpy(out + filled, header->lpData + device->position, n);
            filled += static_cast<int>(n);
            device->position += n;
        }
        std::memset(out + filled, silence, static_cast<size_t>(len - filled));
        device->ApplyVolume(out, len, device->volume);
    }
};

namespace {

bool FormatSupported(const WAVEFORMATEX& f) {
    return f.wFormatTag == WAVE_FORMAT_PCM && (f.nChannels == 1 || f.nChannels == 2) &&
           (f.wBitsPerSample == 8 || f.wBitsPerSample == 16) && f.nSamplesPerSec > 0 &&
           f.nSamplesPerSec <= 384000 && f.nBlockAlign == f.nChannels * f.wBitsPerSample / 8;
}

bool HeaderValid(const WAVEHDR* header, uint32_t size) {
    return header != nullptr && size >= sizeof(WAVEHDR) &&
           (header->lpData != nullptr || header->dwBufferLength == 0);
}

}  // namespace

MMRESULT waveOutOpen(HWAVEOUT* device, uint32_t deviceId, const WAVEFORMATEX* format,
                     WaveOutProc callback, uintptr_t instance, uint32_t flags) {
    if (device == nullptr || format == nullptr || callback == nullptr) return MMSYSERR_INVALPARAM;
    *device = nullptr;
    if (deviceId != WAVE_MAPPER && deviceId != 0) return MMSYSERR_BADDEVICEID;
    if (flags != CALLBACK_FUNCTION) return MMSYSERR_INVALFLAG;
    if (!FormatSupported(*format)) return WAVERR_BADFORMAT;
    if (!SdlAcquire()) {
        SdlRelease();
        return MMSYSERR_NODRIVER;
    }
    auto opened = std::make_unique<WaveOutDevice>();
    opened->callback = callback;
    opened->instance = instance;
    opened->channels = format->nChannels;
    opened->bits = format->wBitsPerSample;

    SDL_AudioSpec wanted{};
    SDL_AudioSpec obtained{};
    wanted.freq = static_cast<int>(format->nSamplesPerSec);
    wanted.format = format->wBitsPerSample == 8 ? AUDIO_U8 : AUDIO_S16LSB;
    wanted.channels = static_cast<Uint8>(format->nChannels);
    // About 20 ms a pull: short enough that a pause or reset is heard at once.
    Uint16 samples = 64;
    while (samples < format->nSamplesPerSec / 50 && samples < 8192) samples *= 2;
    wanted.samples = samples;
    wanted.callback = WaveOutDevice::Pull;
    wanted.userdata = opened.get();
    // No format change allowed: SDL converts to whatever the sound card wants, so the pull
    // always sees the blocks' own format.
    opened->sdl = SDL_OpenAudioDevice(nullptr, 0, &wanted, &obtained, 0);
    if (opened->sdl == 0) {
        SdlRelease();
        return MMSYSERR_NODRIVER;
    }
    WaveOutDevice* raw = opened.get();
    try {
        opened->thread = std::thread([raw] { raw->Deliver(); });
    } catch (const std::system_error&) {
        SDL_CloseAudioDevice(opened->sdl);
        SdlRelease();
        return MMSYSERR_NODRIVER;
    }
    {
        std::lock_guard<std::mutex> guard(opened->lock);
        opened->Post(WOM_OPEN, nullptr);
    }
    SDL_PauseAudioDevice(opened->sdl, 0);
    *device = opened.release();  // owned by the caller until waveOutClose
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutClose(HWAVEOUT device) {
    if (device == nullptr) return MMSYSERR_INVALHANDLE;
    if (device->OnCallbackThread()) return MMSYSERR_HANDLEBUSY;
    {
        std::lock_guard<std::mutex> guard(device->lock);
        if (!device->playing.empty() || device->delivering != nullptr) return WAVERR_STILLPLAYING;
        for (const auto& m : device->messages)
            if (m.message == WOM_DONE) return WAVERR_STILLPLAYING;
    }
    SDL_CloseAudioDevice(device->sdl);  // returns once SDL's audio thread has ended
    {
        std::lock_guard<std::mutex> guard(device->lock);
        device->Post(WOM_CLOSE, nullptr);
    }
    device->thread.join();
    delete device;
    SdlRelease();
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutPrepareHeader(HWAVEOUT device, WAVEHDR* header, uint32_t size) {
    if (device == nullptr) return MMSYSERR_INVALHANDLE;
    if (!HeaderValid(header, size)) return MMSYSERR_INVALPARAM;
    std::lock_guard<std::mutex> guard(device->lock);
    header->dwFlags |= WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutUnprepareHeader(HWAVEOUT device, WAVEHDR* header, uint32_t size) {
    if (device == nullptr) return MMSYSERR_INVALHANDLE;
    if (!HeaderValid(header, size)) return MMSYSERR_INVALPARAM;
    std::lock_guard<std::mutex> guard(device->lock);
    if ((header->dwFlags & WHDR_INQUEUE) != 0 || device->Pending(header))
        return WAVERR_STILLPLAYING;
    header->dwFlags &= ~WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutWrite(HWAVEOUT device, WAVEHDR* header, uint32_t size) {
    if (device == nullptr) return MMSYSERR_INVALHANDLE;
    if (!HeaderValid(header, size)) return MMSYSERR_INVALPARAM;
    std::lock_guard<std::mutex> guard(device->lock);
    if ((header->dwFlags & WHDR_PREPARED) == 0) return WAVERR_UNPREPARED;
    if ((header->dwFlags & WHDR_INQUEUE) != 0 || device->Pending(header))
        return WAVERR_STILLPLAYING;
    header->dwFlags = (header->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
    device->playing.push_back(header);
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutPause(HWAVEOUT device) {
    if (device == nullptr) return MMSYSERR_INVALHANDLE;
    std::lock_guard<std::mutex> guard(device->lock);
    device->paused = true;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutRestart(HWAVEOUT device) {
    if (device == nullptr) return MMSYSERR_INVALHANDLE;
    std::lock_guard<std::mutex> guard(device->lock);
    device->paused = false;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutReset(HWAVEOUT device) {
    if (device == nullptr) return MMSYSERR_INVALHANDLE;
    std::unique_lock<std::mutex> guard(device->lock);
    while (!device->playing.empty()) {
        WAVEHDR* header = device->playing.front();
        device->playing.pop_front();
        device->Finish(header);
    }
    device->position = 0;
    device->paused = false;
    if (device->OnCallbackThread()) return MMSYSERR_NOERROR;
    const uint64_t target = device->posted;
    device->delivered.wait(guard, [device, target] { return device->deliveredCount >= target; });
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutGetVolume(HWAVEOUT device, uint32_t* volume) {
    if (device == nullptr) return MMSYSERR_INVALHANDLE;
    if (volume == nullptr) return MMSYSERR_INVALPARAM;
    std::lock_guard<std::mutex> guard(device->lock);
    *volume = device->volume;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutSetVolume(HWAVEOUT device, uint32_t volume) {
    if (device == nullptr) return MMSYSERR_INVALHANDLE;
    std::lock_guard<std::mutex> guard(device->lock);
    device->volume = volume;
    return MMSYSERR_NOERROR;
}

}  // namespace platform
