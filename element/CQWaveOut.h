// A thin wrapper over one wave output device: open with a PCM format, queue blocks of samples
// that are freed once played, pause, reset, volume and mute, close. Hosts use it through the
// CQWaveOut_* functions of the public header, whose comments are its manual.
//
// Threads: the operations run on the caller's thread, under the object's lock, so hosts may
// call from several threads. The synchronous write waits without the lock, counted as a
// writer: Play wakes it, Close goes ahead only once its block is done (the device refuses
// otherwise), and the destructor drops its block and waits for it to return. Played blocks are
// freed by waveOutProc on the device's callback thread, which runs nothing else: no call on a
// CQWaveOut can come from there, so Close and Play from the callback do not arise.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/wave_out.h"
#include "varnel/varnel.h"

// A struct, as the public header declares it for C hosts.
struct CQWaveOut {
public:
    CQWaveOut() = default;
    // Drops what is still queued and closes the device: the callback thread reports to this
    // object, so it must not outlive it.
    ~CQWaveOut();
    // Not copyable: a copy would name the same device, and the first Close would leave the
    // other holding a freed handle.
    CQWaveOut(const CQWaveOut&) = delete;
    CQWaveOut& operator=(const CQWaveOut&) = delete;

    // Always true. An open object is reset and closed first, so its device does not leak.
    bool Open(WAVEFORMATEX format);
    // copy false hands data (from malloc) to the library in every case: freed after playing,
    // or at once when it cannot be queued.
    void WriteAudioBlock(unsigned char* data, int32_t length, bool copy);
    // Synchronous write with a header of its own, which waveOutProc recognises and leaves to
    // this call: so it may be used on any open device, one opened by Open included. Returns
    // once the device has played or dropped the block (Play from another thread drops it).
    // The device must stay open during the call.
    static void writeAudioBlock(platform::HWAVEOUT device, const unsigned char* data,
                                uint32_t size);
    // The same on this object's device, safe against Play, Close and the destructor on other
    // threads: it waits without the lock and returns as soon as the device is closed.
    void WriteAndWait(const unsigned char* data, uint32_t size);
    // A malloc'ed block with the whole file, or null (size untouched when the file cannot be
    // opened, 0 when it is empty).
    static unsigned char* loadAudioBlock(const char* fileName, uint32_t& size);
    uint16_t GetVolume();
    bool SetVolume(uint16_t v);
    bool Mute(bool m);
    bool Pause();
    // Resets the device: every queued block is freed before it returns.
    bool Play();
    // Refused by the device while blocks are queued: the object then stays open.
    bool Close();

    // The device's callback (WOM_OPEN, WOM_DONE, WOM_CLOSE).
    static void waveOutProc(platform::HWAVEOUT device, uint32_t message, uintptr_t instance,
                            uintptr_t param1, uintptr_t param2);

    platform::HWAVEOUT Handle() {
        std::lock_guard<std::mutex> lock(m_csWave);
        return m_hWaveOut;
    }
    bool IsMuted() {
        std::lock_guard<std::mutex> lock(m_csWave);
        return m_bMute;
    }
    int32_t QueuedBlocks() const { return m_nQueued.load(std::memory_order_acquire); }

private:
    uint16_t GetVolumeLocked();
    void ResetAndClose();  // under m_csWave

    // A new device starts at full volume, so that is what an unmute restores when the mute
    // came while no device was open.
    uint16_t m_wSavedVolume = 0xFFFF;
    bool m_bMute = false;
    platform::HWAVEOUT m_hWaveOut = nullptr;
    // Guards the members above and every call on the device; m_cvWave wakes waiting writers.
    std::mutex m_csWave;
    std::condition_variable m_cvWave;
    uint64_t m_uOpens = 0;  // counts the devices opened, so a writer knows its own from a new one
    int m_nWriters = 0;     // WriteAndWait calls under way
    // Blocks of WriteAudioBlock not yet freed; counted down on the callback thread.
    std::atomic<int32_t> m_nQueued{0};
};
