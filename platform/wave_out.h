// A wave output device with the interface of the Windows waveOut functions, played through an
// SDL audio device: open with a PCM format and a callback, prepare and write blocks (wave
// headers), pause, restart, reset, volume, close; WOM_OPEN, WOM_DONE and WOM_CLOSE go to the
// callback.
//
// Threads: SDL's audio thread pulls samples from the queued blocks; a thread of the device's
// own (the callback thread) delivers the messages, one at a time and in order: WOM_OPEN first,
// WOM_DONE for each block in the order the blocks were written, WOM_CLOSE last. Keeping the
// callback off SDL's audio thread means a slow callback never starves the sound card, and the
// callback may call back into the device without meeting SDL's device lock.
//
// Calls on one handle may come from any thread, but waveOutClose must not overlap any other
// call on the same handle (it frees the device). From the callback thread every call may be
// made except waveOutClose, which is refused with MMSYSERR_HANDLEBUSY: it would have to wait
// for the very thread it runs on.
#pragma once

#include <cstdint>

#include "varnel/varnel.h"

namespace platform {

struct WaveOutDevice;
using HWAVEOUT = WaveOutDevice*;
using MMRESULT = uint32_t;

constexpr MMRESULT MMSYSERR_NOERROR = 0;
constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
constexpr MMRESULT MMSYSERR_NODRIVER = 6;
constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
constexpr MMRESULT MMSYSERR_HANDLEBUSY = 12;
constexpr MMRESULT WAVERR_BADFORMAT = 32;
constexpr MMRESULT WAVERR_STILLPLAYING = 33;
constexpr MMRESULT WAVERR_UNPREPARED = 34;

constexpr uint32_t WAVE_MAPPER = 0xFFFFFFFF;  // the default device, the only one offered
constexpr uint32_t CALLBACK_FUNCTION = 0x30000;
constexpr uint16_t WAVE_FORMAT_PCM = 1;

// Messages to the callback.
constexpr uint32_t WOM_OPEN = 955;
constexpr uint32_t WOM_CLOSE = 956;
constexpr uint32_t WOM_DONE = 957;

// Flags of a wave header.
constexpr uint32_t WHDR_DONE = 0x01;
constexpr uint32_t WHDR_PREPARED = 0x02;
constexpr uint32_t WHDR_INQUEUE = 0x10;

// One block of samples. The device writes dwFlags while the block is queued; the owner may
// read them once the block is done. dwLoops and lpNext are not used (no loops).
struct WAVEHDR {
    char* lpData;
    uint32_t dwBufferLength;
    uint32_t dwBytesRecorded;
    uintptr_t dwUser;
    uint32_t dwFlags;
    uint32_t dwLoops;
    WAVEHDR* lpNext;
    uintptr_t reserved;
};
static_assert(sizeof(WAVEHDR) == (sizeof(void*) == 8 ? 48 : 32));

// (handle, message, instance given at open, parameter 1, parameter 2). WOM_DONE carries the
// header in parameter 1; the callback owns the header from then on and may free it.
using WaveOutProc = void (*)(HWAVEOUT device, uint32_t message, uintptr_t instance,
                             uintptr_t param1, uintptr_t param2);

// Opens the default device (WAVE_MAPPER, or device 0) with a PCM format: 8-bit unsigned or
// 16-bit signed samples, one or two channels. flags must be CALLBACK_FUNCTION. On failure
// *device is null: MMSYSERR_BADDEVICEID, WAVERR_BADFORMAT (format not PCM as above, or its
// block align not channels * bytes per sample), MMSYSERR_NODRIVER (no sound output).
MMRESULT waveOutOpen(HWAVEOUT* device, uint32_t deviceId, const WAVEFORMATEX* format,
                     WaveOutProc callback, uintptr_t instance, uint32_t flags);
// Refused with WAVERR_STILLPLAYING while blocks are queued or their WOM_DONE is still to be
// delivered; otherwise WOM_CLOSE is delivered, the callback thread ends and the device is freed.
MMRESULT waveOutClose(HWAVEOUT device);

MMRESULT waveOutPrepareHeader(HWAVEOUT device, WAVEHDR* header, uint32_t size);
// WAVERR_STILLPLAYING until the block's WOM_DONE has been delivered (the callback has returned),
// so that a header on the writer's stack outlives every use the device makes of it.
MMRESULT waveOutUnprepareHeader(HWAVEOUT device, WAVEHDR* header, uint32_t size);
// Queues a prepared block behind those already queued (WAVERR_UNPREPARED if not prepared).
MMRESULT waveOutWrite(HWAVEOUT device, WAVEHDR* header, uint32_t size);

// Holds output where it is (silence is played meanwhile); restart goes on from there.
MMRESULT waveOutPause(HWAVEOUT device);
MMRESULT waveOutRestart(HWAVEOUT device);
// Stops output, marks every queued block done and delivers their WOM_DONE in order. From any
// thread but the callback thread it returns once all of them have been delivered; from the
// callback thread they follow once the running callback has returned. The device is left
// running (not paused): the next block written plays at once.
MMRESULT waveOutReset(HWAVEOUT device);

// Volume: low word left channel, high word right channel, 0 silent to 0xFFFF unchanged; a
// mono device uses the low word only. Applied to the samples as they are played, so a change
// also reaches blocks already queued. A new device starts at 0xFFFFFFFF.
MMRESULT waveOutGetVolume(HWAVEOUT device, uint32_t* volume);
MMRESULT waveOutSetVolume(HWAVEOUT device, uint32_t volume);

}  // namespace platform
