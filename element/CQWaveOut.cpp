#include "element/CQWaveOut.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/files.h"
#include "platform/trace.h"
#include "platform/wintime.h"

using namespace platform;

namespace {

// Marks the header of writeAudioBlock: it lives on that call's stack and is its to release,
// while every other header reaching waveOutProc was allocated by WriteAudioBlock.
constexpr uintptr_t kCallersHeader = 0x57415645;  // "WAVE"

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <typename T>
using MallocPtr = std::unique_ptr<T, FreeDeleter>;

// Both channels get the word asked for: the right word (v << 8) alone would leave a stereo
// stream's right side at most 0xFF of 0xFFFF, silent to the ear, whatever the host asks.
uint32_t VolumeWords(uint16_t v) {
    const uint32_t word = ((static_cast<uint32_t>(v) << 8) | v) & 0xFFFF;
    return (word << 16) | word;
}

// Plays one block with a header on this stack, which waveOutProc leaves alone: queues it, waits
// 500 ms, then in steps of 100 ms until the device is done with it. wait(ms) waits up to ms and
// says whether the device is still there; once it is gone (closed, which the device allows only
// when the block is done) the header is no longer the device's.
template <typename Wait>
void PlayBlock(HWAVEOUT device, const unsigned char* data, uint32_t size, Wait wait) {
    if (device == nullptr || (data == nullptr && size > 0)) return;
    WAVEHDR header{};
    // The device only reads the samples.
    header.lpData = const_cast<char*>(reinterpret_cast<const char*>(data));
    header.dwBufferLength = size;
    header.dwUser = kCallersHeader;
    waveOutPrepareHeader(device, &header, sizeof(header));
    if (waveOutWrite(device, &header, sizeof(header)) != MMSYSERR_NOERROR) {
        waveOutUnprepareHeader(device, &header, sizeof(header));
        return;
    }
    if (!wait(500)) return;
    while (waveOutUnprepareHeader(device, &header, sizeof(header)) == WAVERR_STILLPLAYING)
        if (!wait(100)) return;
}

}  // namespace

CQWaveOut::~CQWaveOut() {
    std::unique_lock<std::mutex> lock(m_csWave);
    ResetAndClose();
    // A synchronous writer still waiting reads this object: it leaves once woken (the device
    // is gone), and only then may the object go.
    m_cvWave.notify_all();
    m_cvWave.wait(lock, [this] { return m_nWriters == 0; });
}

void CQWaveOut::ResetAndClose() {
    // Each reset drops what is queued, so the close that follows is accepted.
    while (m_hWaveOut != nullptr) {
        waveOutReset(m_hWaveOut);
        if (waveOutClose(m_hWaveOut) != WAVERR_STILLPLAYING) m_hWaveOut = nullptr;
    }
}

bool CQWaveOut::Open(WAVEFORMATEX format) {
    std::lock_guard<std::mutex> lock(m_csWave);
    ResetAndClose();
    m_cvWave.notify_all();
    ++m_uOpens;
    if (waveOutOpen(&m_hWaveOut, WAVE_MAPPER, &format, &CQWaveOut::waveOutProc,
                    reinterpret_cast<uintptr_t>(this), CALLBACK_FUNCTION) != MMSYSERR_NOERROR)
        OutputDebugStringA("waveOutOpen error\r\rn");
    return true;
}

void CQWaveOut::WriteAudioBlock(unsigned char* data, int32_t length, bool copy) {
    MallocPtr<unsigned char> owned(copy ? nullptr : data);
    std::lock_guard<std::mutex> lock(m_csWave);
    if (m_hWaveOut == nullptr || length < 0 || (data == nullptr && length > 0)) return;
    MallocPtr<WAVEHDR> header(static_cast<WAVEHDR*>(std::calloc(1, sizeof(WAVEHDR))));
    if (header == nullptr) return;
    header->dwBufferLength = static_cast<uint32_t>(length);
    if (copy) {
        // At least one byte, so that an empty block still has a buffer to free.
        owned.reset(static_cast<unsigned char*>(std::malloc(length > 0 ? length : 1)));
        if (owned == nullptr) return;
        if (length > 0) std::memcpy(owned.get(), data, static_cast<size_t>(length));
    }
    header->lpData = reinterpret_cast<char*>(owned.get());
    m_nQueued.fetch_add(1, std::memory_order_relaxed);
    if (waveOutPrepareHeader(m_hWaveOut, header.get(), sizeof(WAVEHDR)) != MMSYSERR_NOERROR ||
        waveOutWrite(m_hWaveOut, header.get(), sizeof(WAVEHDR)) != MMSYSERR_NOERROR) {
        m_nQueued.fetch_sub(1, std::memory_order_relaxed);
        return;  // never queued: both are freed here
    }
    // Queued: waveOutProc frees both when the device is done with them.
    owned.release();
    header.release();
}

void CQWaveOut::writeAudioBlock(HWAVEOUT device, const unsigned char* data, uint32_t size) {
    PlayBlock(device, data, size, [](int ms) {
        Sleep(ms);
        return true;
    });
}

void CQWaveOut::WriteAndWait(const unsigned char* data, uint32_t size) {
    std::unique_lock<std::mutex> lock(m_csWave);
    const uint64_t mine = m_uOpens;
    ++m_nWriters;
    // Waits without the lock, so Play and Close from other threads get through; every call on
    // the device is made under it, so none overlaps a Close that frees the device.
    PlayBlock(m_hWaveOut, data, size, [&](int ms) {
        m_cvWave.wait_for(lock, std::chrono::milliseconds(ms));
        return m_hWaveOut != nullptr && m_uOpens == mine;
    });
    --m_nWriters;
    m_cvWave.notify_all();
}

unsigned char* CQWaveOut::loadAudioBlock(const char* fileName, uint32_t& size) {
    if (fileName == nullptr) return nullptr;
    FileHandle file;
    if (!file.Open(fileName, Disposition::OpenExisting, GENERIC_READ)) return nullptr;
    const int64_t length = file.Size();
    if (length < 0 || length > int64_t{UINT32_MAX}) return nullptr;
    if (length == 0) {
        size = 0;
        return nullptr;
    }
    MallocPtr<unsigned char> block(static_cast<unsigned char*>(std::malloc(length)));
    if (block == nullptr) return nullptr;
    int64_t done = 0;
    while (done < length) {
        const int64_t n = file.Read(block.get() + done, length - done);
        if (n <= 0) return nullptr;  // shrunk or unreadable: no half block
        done += n;
    }
    size = static_cast<uint32_t>(length);
    return block.release();
}

uint16_t CQWaveOut::GetVolume() {
    std::lock_guard<std::mutex> lock(m_csWave);
    return GetVolumeLocked();
}

uint16_t CQWaveOut::GetVolumeLocked() {
    uint32_t volume = 0;
    if (waveOutGetVolume(m_hWaveOut, &volume) != MMSYSERR_NOERROR) return 0;
    return static_cast<uint16_t>(volume & 0xFFFF);
}

bool CQWaveOut::SetVolume(uint16_t v) {
    std::lock_guard<std::mutex> lock(m_csWave);
    waveOutSetVolume(m_hWaveOut, VolumeWords(v));
    if (m_bMute && v != 0) m_bMute = false;
    return true;
}

bool CQWaveOut::Mute(bool m) {
    std::lock_guard<std::mutex> lock(m_csWave);
    // A second mute would save the silence of the first and lose the volume to come back to.
    // A closed device has no volume to save: its 0 would make the unmute after the next Open
    // silence the sound, so the volume to restore is kept instead.
    if (m && !m_bMute && m_hWaveOut != nullptr) m_wSavedVolume = GetVolumeLocked();
    m_bMute = m;
    waveOutSetVolume(m_hWaveOut, m ? 0 : VolumeWords(m_wSavedVolume));
    return true;
}

bool CQWaveOut::Pause() {
    std::lock_guard<std::mutex> lock(m_csWave);
    waveOutPause(m_hWaveOut);
    return true;
}

bool CQWaveOut::Play() {
    std::lock_guard<std::mutex> lock(m_csWave);
    waveOutReset(m_hWaveOut);
    m_cvWave.notify_all();  // a synchronous writer whose block was dropped returns at once
    return true;
}

bool CQWaveOut::Close() {
    std::lock_guard<std::mutex> lock(m_csWave);
    if (m_hWaveOut == nullptr) return true;
    // A refused close keeps the handle: cleared, the device and its blocks could never be
    // released again.
    if (waveOutClose(m_hWaveOut) != WAVERR_STILLPLAYING) m_hWaveOut = nullptr;
    m_cvWave.notify_all();
    return true;
}

void CQWaveOut::waveOutProc(HWAVEOUT device, uint32_t message, uintptr_t instance, uintptr_t param1,
                            uintptr_t param2) {
    (void)device;
    (void)param2;
    switch (message) {
        case WOM_OPEN:
        case WOM_CLOSE:
            return;
        case WOM_DONE: {
            auto* header = reinterpret_cast<WAVEHDR*>(param1);
            if (header == nullptr || header->dwUser == kCallersHeader) return;
            header->dwBufferLength = 0;
            std::free(header->lpData);
            std::free(header);
            if (instance != 0)
                reinterpret_cast<CQWaveOut*>(instance)->m_nQueued.fetch_sub(
                    1, std::memory_order_release);
            return;
        }
        default:
            OutputDebugStringA("waveOutProc\r\n");
    }
}
