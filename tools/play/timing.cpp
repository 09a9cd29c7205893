#include "timing.h"

#include <algorithm>
#include <cmath>

namespace play {

void Schedule::SetSpeed(double factor) {
    if (factor > 0) m_speed = factor;
    m_anchored = false;
}

void Schedule::Add(double wall, int64_t frameTime) {
    if (m_anchored) {
        double step = static_cast<double>(frameTime - m_lastFrameTime) / 1e7;
        if (step > 0 && step < 10.0)
            m_lastStep = step;
        else if (m_lastStep < 0 && step < 0 && step > -10.0)
            m_lastStep = -step;  // rewind by key frames: every step goes back
        if (m_lastStep >= 0) {
            m_due += m_lastStep / m_speed;
            double error = wall - m_due;
            if (std::fabs(error) <= kStallSeconds) {
                m_errors.push_back(std::fabs(error));
            } else {
                ++m_stalls;
                m_due = wall;
            }
        } else {
            m_due = wall;  // no step known yet: this picture anchors
        }
    } else {
        m_anchored = true;
        m_due = wall;
    }
    m_lastFrameTime = frameTime;
}

Schedule::Result Schedule::Summarise() const {
    Result r;
    r.samples = m_errors.size();
    r.restarts = m_stalls;
    if (m_errors.empty()) return r;
    std::vector<double> sorted = m_errors;
    std::sort(sorted.begin(), sorted.end());
    auto at = [&](double q) {
        size_t i = static_cast<size_t>(std::ceil(q * sorted.size())) - 1;
        return sorted[std::min(i, sorted.size() - 1)] * 1000.0;
    };
    size_t n = sorted.size();
    r.medianMs = (n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2) * 1000.0;
    r.p99Ms = at(0.99);
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
