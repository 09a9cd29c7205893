#include "element/timeline.h"

#include <cmath>

namespace element {

void Timeline::Start(int64_t frameTime, int64_t clockMs, double factor, bool forward) {
    m_started = true;
    m_origin = frameTime;
    m_originClock = clockMs;
    m_factor = factor;
    m_forward = forward;
}

int64_t Timeline::Position(int64_t clockMs) const {
    const double moved =
        static_cast<double>(clockMs - m_originClock) * m_factor * static_cast<double>(kTicksPerMs);
    return m_origin + static_cast<int64_t>(m_forward ? moved : -moved);
}

double Timeline::AheadMs(int64_t frameTime, int64_t clockMs) const {
    const double distance = static_cast<double>(frameTime - Position(clockMs)) / kTicksPerMs;
    return m_forward ? distance : -distance;
}

bool Timeline::Reached(int64_t frameTime, int64_t clockMs) const {
    return m_started && AheadMs(frameTime, clockMs) <= 0;
}

double Timeline::MsUntil(int64_t frameTime, int64_t clockMs) const {
    const double ahead = AheadMs(frameTime, clockMs);
    return ahead <= 0 ? 0 : ahead / m_factor;
}

void Timeline::SetRate(double factor, bool forward, int64_t clockMs) {
    m_origin = Position(clockMs);
    m_originClock = clockMs;
    m_factor = factor;
    m_forward = forward;
}

void Timeline::MoveTo(int64_t frameTime, int64_t clockMs) {
    m_origin = frameTime;
    m_originClock = clockMs;
}

}  // namespace element
