// Presentation timing as the host sees it: when each picture arrived against when its frame
// time says it was due, and the picture rate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace play {

// The schedule: pictures are due at the spacing of their frame times divided by the speed.
// A gap that is not a plain step forward (a jump back in rewind, or ten seconds and more) is
// taken as the last good step, the way the engine paces them. Changes of speed, direction or
// pause start a new stretch of schedule, and so does a picture more than kStallSeconds off (a
// stall for data), which is counted. Within a stretch the schedule's origin is where it fits
// best (the median offset), so that a steady latency is no error but a picture shown early or
// late against its neighbours is.
class Schedule {
public:
    static constexpr double kStallSeconds = 2.0;

    void SetSpeed(double factor);
    void Restart() { m_anchored = false; }
    // One presented picture: wall clock in seconds, recorder frame time in 100 ns units.
    void Add(double wallSeconds, int64_t frameTime);

    struct Result {
        size_t samples = 0;
        double medianMs = 0;
        double p99Ms = 0;
        int restarts = 0;  // stalls, not counting the host's own changes
    };
    Result Summarise() const;

private:
    double m_speed = 1.0;
    bool m_anchored = false;
    double m_due = 0;  // wall time the last picture was due
    int64_t m_lastFrameTime = 0;
    double m_lastStep = -1;  // seconds of recorder time, -1 none yet
    int m_stalls = 0;
    // Per stretch: arrival minus due time, in seconds, from the stretch's first picture.
    std::vector<std::vector<double>> m_stretches;
};

// Pictures per second over the last second.
class RateMeter {
public:
    void Add(double wallSeconds);
    double Rate(double nowSeconds);

private:
    std::deque<double> m_times;
};

}  // namespace play
