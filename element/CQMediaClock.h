// The media element's millisecond clock: a 1 ms periodic timer measured with the performance
// counter, which can be paused, resumed and pulsed (one tick while paused), and which calls
// one callback on every tick with its value.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>

#include "platform/periodic_timer.h"

class CQMediaClock {
public:
    // Called on every delivered tick with the clock in milliseconds; the result is ignored.
    using Callback = std::function<int32_t(int32_t)>;

    CQMediaClock();
    // Stops the timer (waiting for a tick in progress, unless this is the tick's own thread).
    ~CQMediaClock();
    // The clock owns a running timer whose ticks refer to it: a copy would share the ticks'
    // thread with the original and leave one of them pointing at a freed clock.
    CQMediaClock(const CQMediaClock&) = delete;
    CQMediaClock& operator=(const CQMediaClock&) = delete;

    // The callback of the ticks; set it before StartNew.
    void Bind(Callback callback);

    // Running, paused total 0, and a timer ticking at once and then every millisecond on a
    // thread of its own. A clock already started is stopped first.
    bool StartNew();
    // Paused total 0 and a new start count; the timer keeps running.
    bool Reset();
    // The clock in milliseconds: (now - paused total - start), paused time excluded as of the
    // last Play. Reads the counter unless a pulse is pending, so called while paused it
    // includes the time since the pause.
    int32_t GetClock();
    // 100 ns units since the start, paused time included, pulse ignored.
    int64_t GetTick();
    bool Pause();
    // Resumes a paused clock (the time spent paused is left out of its value) and drops a
    // pending pulse.
    bool Play();
    // Pauses, then lets exactly one tick through, with the value of the last tick before the
    // pause.
    bool Pulse();
    // Lets one more tick through if the clock is paused; nothing while it runs. For a tick
    // that could not do what its pulse was for: checked and set at once, so that a Play
    // coming meanwhile is never turned back into a pause.
    bool Repulse();
    // Stops the ticks: from any thread but the tick's own it returns once a tick in progress
    // has ended, so that what the callback uses may be freed afterwards.
    bool Stop();

    bool IsStarted() const { return m_timer.Running(); }
    bool IsRunning();

    // The tick: nothing while neither running nor pulsed; otherwise the counter is read
    // (not for a pulse), the pulse cleared, and the callback called with the clock value.
    static void TimerRoutine(void* parameter, bool timerOrWaitFired);

private:
    int32_t ClockValue() const;  // under m_lock
    static int64_t Counter();

    Callback m_fnCallback;
    int64_t m_llFrequency = 1;
    int64_t m_llStart = 0;
    int64_t m_llCurrent = 0;
    int64_t m_llPausedAt = 0;
    int64_t m_llResumedAt = 0;
    int64_t m_llPausedTotal = 0;
    platform::PeriodicTimer m_timer;
    bool m_bRunning = false;
    bool m_bPulse = false;
    // Host calls (pause, play, pulse) meet the ticks here; never held during the callback.
    std::mutex m_lock;
};
