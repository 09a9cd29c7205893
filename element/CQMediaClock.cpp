#include "element/CQMediaClock.h"

#include "platform/wintime.h"

namespace {
constexpr uint32_t kPeriodMs = 1;
constexpr int64_t kTicksPerSecond = 10'000'000;  // 100 ns units
}  // namespace

CQMediaClock::CQMediaClock() = default;

CQMediaClock::~CQMediaClock() {
    Stop();
}

int64_t CQMediaClock::Counter() {
    int64_t now = 0;
    platform::QueryPerformanceCounter(&now);
    return now;
}

void CQMediaClock::Bind(Callback callback) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_fnCallback = std::move(callback);
}

bool CQMediaClock::StartNew() {
    Stop();
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_bRunning = true;
        m_bPulse = false;
        m_llPausedTotal = 0;
        platform::QueryPerformanceFrequency(&m_llFrequency);
        m_llStart = m_llCurrent = Counter();
    }
    m_timer.Create([this] { TimerRoutine(this, true); }, 0, kPeriodMs);
    return true;
}

bool CQMediaClock::Reset() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_llPausedTotal = 0;
    platform::QueryPerformanceFrequency(&m_llFrequency);
    m_llStart = m_llCurrent = Counter();
    // A clock reset while paused counts its pause from the new start.
    m_llPausedAt = m_llStart;
    return true;
}

int32_t CQMediaClock::ClockValue() const {
    const int64_t elapsed = (m_llCurrent - m_llPausedTotal - m_llStart) * 1000;
    return static_cast<int32_t>(static_cast<double>(elapsed) / static_cast<double>(m_llFrequency));
}

int32_t CQMediaClock::GetClock() {
    std::lock_guard<std::mutex> hold(m_lock);
    if (!m_bPulse) m_llCurrent = Counter();
    return ClockValue();
}

int64_t CQMediaClock::GetTick() {
    std::lock_guard<std::mutex> hold(m_lock);
    const int64_t elapsed = Counter() - m_llStart;
    // In two steps: elapsed nanoseconds times 10^7 would overflow after a quarter of an hour.
    return elapsed / m_llFrequency * kTicksPerSecond +
           elapsed % m_llFrequency * kTicksPerSecond / m_llFrequency;
}

bool CQMediaClock::Pause() {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_bRunning) {
        m_bRunning = false;
        m_llPausedAt = Counter();
    }
    return true;
}

bool CQMediaClock::Play() {
    std::lock_guard<std::mutex> hold(m_lock);
    if (!m_bRunning) {
        m_bRunning = true;
        m_llResumedAt = Counter();
        m_llPausedTotal += m_llResumedAt - m_llPausedAt;
    }
    m_bPulse = false;
    m_timer.Hold(false);
    return true;
}

bool CQMediaClock::Pulse() {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_bRunning) {
        m_bRunning = false;
        m_llPausedAt = Counter();
    }
    if (!m_bRunning) m_bPulse = true;
    m_timer.Hold(false);
    return true;
}

bool CQMediaClock::Repulse() {
    std::lock_guard<std::mutex> hold(m_lock);
    if (!m_bRunning) m_bPulse = true;
    m_timer.Hold(false);
    return true;
}

bool CQMediaClock::Stop() {
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_bRunning = false;
        m_bPulse = false;
    }
    m_timer.Delete();
    return true;
}

bool CQMediaClock::IsRunning() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_bRunning;
}

void CQMediaClock::TimerRoutine(void* parameter, bool /*timerOrWaitFired*/) {
    auto* clock = static_cast<CQMediaClock*>(parameter);
    int32_t value = 0;
    {
        std::lock_guard<std::mutex> hold(clock->m_lock);
        if (!clock->m_bRunning && !clock->m_bPulse) {
            // Paused: no tick has anything to do until Play or a pulse, which release the
            // timer again (under this lock, so that none of them is missed). A paused element
            // then costs no wake-ups at all.
            clock->m_timer.Hold(true);
            return;
        }
        if (!clock->m_bPulse) clock->m_llCurrent = Counter();
        clock->m_bPulse = false;
        value = clock->ClockValue();
    }
    // Called without the lock: the callback pauses and pulses the clock itself (frame steps,
    // the host's calls from inside its picture callback). It is only rebound between a Stop
    // and the next StartNew, so reading it here races with nothing. A copy is called, since
    // the callback may free the clock (a host destroying the element from its callback).
    const Callback callback = clock->m_fnCallback;
    if (callback) callback(value);
}
