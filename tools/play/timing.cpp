#include "timing.h"

#include <algorithm>
#include <cmath>

namespace play {

void Schedule::SetSpeed(double factor) {
    if (factor > 0) m_speed = factor;
    m_anchored = false;
}

void Schedule::Add(double wall, int64_t frameTime) {
    bool anchor = !m_anchored;
    if (m_anchored) {
        double step = static_cast<double>(frameTime - m_lastFrameTime) / 1e7;
        if (step > 0 && step < 10.0)
            m_lastStep = step;
        else if (m_lastStep < 0 && step < 0 && step > -10.0)
            m_lastStep = -step;  // rewind by key frames: every step goes back
        if (m_lastStep < 0) {
            anchor = true;  // no step known yet: this picture starts the stretch
        } else {
            m_due += m_lastStep / m_speed;
            if (std::fabs(wall - m_due) > kStallSeconds) {
                ++m_stalls;
                anchor = true;
            }
        }
    }
    if (anchor) {
        m_anchored = true;
        m_due = wall;
        m_stretches.emplace_back();
    } else {
        m_stretches.back().push_back(wall - m_due);
    }
    m_lastFrameTime = frameTime;
}

namespace {
double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}
}  // namespace

Schedule::Result Schedule::Summarise() const {
    Result r;
    r.restarts = m_stalls;
    std::vector<double> errors;
    for (const std::vector<double>& stretch : m_stretches) {
        if (stretch.empty()) continue;
        // The stretch's first picture is due at offset 0 by definition; it takes part in
        // finding the origin but is no sample of its own.
        std::vector<double> offsets = stretch;
        offsets.push_back(0.0);
        double origin = Median(offsets);
        for (double e : stretch) errors.push_back(std::fabs(e - origin));
    }
    r.samples = errors.size();
    if (errors.empty()) return r;
    std::sort(errors.begin(), errors.end());
    size_t p99 = static_cast<size_t>(std::ceil(0.99 * errors.size())) - 1;
    r.medianMs = Median(errors) * 1000.0;
    r.p99Ms = errors[std::min(p99, errors.size() - 1)] * 1000.0;
    return r;
}

void RateMeter::Add(double wall) {
    m_times.push_back(wall);
}

double RateMeter::Rate(double now) {
    while (!m_times.empty() && m_times.front() <= now - 1.0) m_times.pop_front();
    return static_cast<double>(m_times.size());
}

}  // namespace play
