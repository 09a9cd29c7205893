#include "element/CQWaveOut.h"

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

uint32_t VolumeWords(uint16_t v) {
    return (static_cast<uint32_t>(v) << 8) | v;
}

}  // namespace

CQWaveOut::~CQWaveOut() {
    if (m_hWaveOut == nullptr) return;
    Play();
    Close();
}

bool CQWaveOut::Open(WAVEFORMATEX format) {
    if (m_hWaveOut != nullptr) {
        Play();
        Close();
    }
    if (waveOutOpen(&m_hWaveOut, WAVE_MAPPER, &format, &CQWaveOut::waveOutProc,
                    reinterpret_cast<uintptr_t>(this), CALLBACK_FUNCTION) != MMSYSERR_NOERROR)
        OutputDebugStringA("waveOutOpen error\r\rn");
    return true;
}

void CQWaveOut::WriteAudioBlock(unsigned char* data, int32_t length, bool copy) {
    MallocPtr<unsigned char> owned(copy ? nullptr : data);
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
    Sleep(500);
    while (waveOutUnprepareHeader(device, &header, sizeof(header)) == WAVERR_STILLPLAYING)
        Sleep(100);
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
    uint32_t volume = 0;
    if (waveOutGetVolume(m_hWaveOut, &volume) != MMSYSERR_NOERROR) return 0;
    return static_cast<uint16_t>(volume & 0xFFFF);
}

bool CQWaveOut::SetVolume(uint16_t v) {
    waveOutSetVolume(m_hWaveOut, VolumeWords(v));
    if (m_bMute && v != 0) m_bMute = false;
    return true;
}

bool CQWaveOut::Mute(bool m) {
    // A second mute would save the silence of the first and lose the volume to come back to.
    if (m && !m_bMute) m_wSavedVolume = GetVolume();
    m_bMute = m;
    waveOutSetVolume(m_hWaveOut, m ? 0 : VolumeWords(m_wSavedVolume));
    return true;
}

bool CQWaveOut::Pause() {
    waveOutPause(m_hWaveOut);
    return true;
}

bool CQWaveOut::Play() {
    waveOutReset(m_hWaveOut);
    return true;
}

bool CQWaveOut::Close() {
    if (m_hWaveOut == nullptr) return true;
    // A refused close keeps the handle: cleared, the device and its blocks could never be
    // released again.
    if (waveOutClose(m_hWaveOut) != WAVERR_STILLPLAYING) m_hWaveOut = nullptr;
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
