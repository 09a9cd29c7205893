// The element's one media timeline: which recorder time the media clock has reached. Every
// channel asks it whether its next picture is due, so the channels cannot drift apart: a late
// picture is late alone and moves nothing else. Only play decisions change it (start, speed
// and direction, frame steps, jumps over holes); a re-seek starts a new one.
#pragma once

#include <cstdint>

namespace element {

class Timeline {
public:
    // Frame times are in 100 ns units, the clock in milliseconds.
    static constexpr int64_t kTicksPerMs = 10000;

    bool Started() const { return m_started; }
    bool Forward() const { return m_forward; }
    double Factor() const { return m_factor; }

    // The timeline stands at frameTime when the clock reads clockMs, and moves from there at
    // factor times the clock, forward or back.
    void Start(int64_t frameTime, int64_t clockMs, double factor, bool forward);
    void Stop() { m_started = false; }

    // The recorder time reached at clockMs.
    int64_t Position(int64_t clockMs) const;
    // True once the timeline has reached frameTime (in its direction).
    bool Reached(int64_t frameTime, int64_t clockMs) const;
    // Clock milliseconds from clockMs until frameTime is reached; 0 when it is.
    double MsUntil(int64_t frameTime, int64_t clockMs) const;
    // Distance in recorder milliseconds from the position to frameTime in the direction of
    // play (negative: behind).
    double AheadMs(int64_t frameTime, int64_t clockMs) const;

    // A new speed or direction from the position reached, without a jump.
    void SetRate(double factor, bool forward, int64_t clockMs);
    // Stands at frameTime at clockMs: frame steps, seeks and jumps over holes.
    void MoveTo(int64_t frameTime, int64_t clockMs);

private:
    bool m_started = false;
    int64_t m_origin = 0;       // frame time at m_originClock
    int64_t m_originClock = 0;  // ms
    double m_factor = 1.0;
    bool m_forward = true;
};

}  // namespace element
