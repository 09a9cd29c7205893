#include "element_player.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>

#include "recorder_time.h"

extern "C" {
#include <libswscale/swscale.h>
}

namespace play {
namespace {

// The element's callback carries no user argument, so the one playing element is found here.
std::atomic<ElementPlayer*> g_element{nullptr};

// Sizes beyond this are taken as a broken picture rather than copied.
constexpr int kMaxSide = 16384;
constexpr int kMinSpeed = -3, kMaxSpeed = 3;

double Now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

template <size_t N>
void CopyText(char (&field)[N], const std::string& text) {
    std::memset(field, 0, N);
    std::memcpy(field, text.data(), std::min(text.size(), N - 1));
}

}  // namespace

ElementPlayer::ElementPlayer(const Options& options, std::string saveFolder, int cellWidth,
                             int cellHeight, Wanted wanted)
    : m_options(options),
      m_saveFolder(std::move(saveFolder)),
      m_cellWidth(cellWidth),
      m_cellHeight(cellHeight),
      m_wanted(std::move(wanted)),
      m_channelList(options.channels.begin(), options.channels.end()),
      m_speed(std::clamp(options.speed, kMinSpeed, kMaxSpeed)),
      m_orientation(options.orientation) {
    for (int c : m_channelList) {
        Channel status;
        status.channel = c;
        m_status.channels.push_back(status);
        m_cells.emplace_back(m_cellWidth, m_cellHeight);
    }
}

ElementPlayer::~ElementPlayer() {
    Stop();
    m_element.reset();
    sws_freeContext(m_scaler);
}

void ElementPlayer::Start() {
    m_start = Now();
    g_element = this;
    m_element.reset(CQMediaElement_Create());
    CQMediaElement_SetReverseMode(
        m_element.get(), m_options.smoothReverse ? VARNEL_REVERSE_SMOOTH : VARNEL_REVERSE_GROUPS);
    m_running = true;
    Open(m_options.begin);
}

void ElementPlayer::Open(const StreamSettingTime& begin) {
    MediaElementStreamSetting s{};
    const Options& o = m_options;
    s.FosID = o.fosId;
    CopyText(s.host, o.ip);
    s.port = o.port;
    s.channelCount = static_cast<int32_t>(m_channelList.size());
    s.channels = m_channelList.data();
    s.SubKey = o.subKey;
    s.Resolution = o.resolution;
    s.beginTime = begin;
    s.endTime = o.end;
    s.fileMode = o.onFile ? 1 : 0;
    CopyText(s.saveFolder, m_saveFolder);
    CopyText(s.fileName, "varnel-play.feed");
    s.orientation = 1;
    s.onlyKeyFrame = o.keyFramesOnly ? 1 : 0;
    s.noAudio = 1;  // the element plays no sound
    s.callback = &ElementPlayer::OnPicture;
    CQMediaElement_Open(m_element.get(), &s);
    // The element always starts forward at normal speed; the options' play goes on from there.
    if (m_orientation != 1)
        CQMediaElement_Rewind(m_element.get(), m_speed);
    else if (m_speed != 0)
        CQMediaElement_Forward(m_element.get(), m_speed);
    if (m_paused) CQMediaElement_Pause(m_element.get());
}

void ElementPlayer::SeekTo(int64_t frameTime) {
    if (!m_running) return;
    const int64_t at = SeekSecond(frameTime, FrameTimeOf(m_options.begin),
                                  FrameTimeOf(m_options.end), m_options.onFile ? m_orientation : 1);
    if (m_options.onFile) {
        std::unique_lock<std::mutex> hold(m_lock);
        const int32_t percent = PercentOfHeld(at, m_status.heldFrom, m_status.indexedUpTo);
        hold.unlock();
        CQMediaElement_SetPos(m_element.get(), percent);
        return;
    }
    {
        // The quiet that tells the end of the recording counts from the new request.
        std::lock_guard<std::mutex> hold(m_lock);
        if (m_status.lastPictureAt >= 0) m_status.lastPictureAt = SecondsSinceStart();
    }
    // A new request from there, played forward: a rewind right after it shows no picture
    // (the element has none to go back from), and r turns round once pictures come.
    m_orientation = 1;
    Open(CalendarOf(at));
}

void ElementPlayer::Stop() {
    if (!m_running) return;
    m_running = false;
    CQMediaElement_Close(m_element.get());
    g_element = nullptr;
}

void ElementPlayer::SetPaused(bool paused) {
    if (!m_running || paused == m_paused) return;
    m_paused = paused;
    if (paused)
        CQMediaElement_Pause(m_element.get());
    else
        CQMediaElement_Play(m_element.get());
}

void ElementPlayer::StepForward() {
    if (!m_running) return;
    m_paused = true;
    m_orientation = 1;
    CQMediaElement_FrameStep_Forward(m_element.get());
}

void ElementPlayer::StepBack() {
    if (!m_running) return;
    m_paused = true;
    m_orientation = 0;
    CQMediaElement_FrameStep_Rewind(m_element.get());
}

void ElementPlayer::SetSpeed(int exponent) {
    m_speed = std::clamp(exponent, kMinSpeed, kMaxSpeed);
    SetOrientation(m_orientation);
}

void ElementPlayer::SetOrientation(int orientation) {
    m_orientation = orientation == 1 ? 1 : 0;
    if (!m_running) return;
    if (m_orientation == 1)
        CQMediaElement_Forward(m_element.get(), m_speed);
    else
        CQMediaElement_Rewind(m_element.get(), m_speed);
}

double ElementPlayer::SecondsSinceStart() const {
    return Now() - m_start;
}

int ElementPlayer::IndexOf(int channel) const {
    for (size_t i = 0; i < m_channelList.size(); ++i)
        if (m_channelList[i] == channel) return static_cast<int>(i);
    return -1;
}

void ElementPlayer::OnPicture(int32_t, int32_t, double, pictureframe* picture,
                              channelstate* channel) {
    ElementPlayer* self = g_element;
    if (self == nullptr || channel == nullptr) return;
    if (picture != nullptr && channel->status == VARNEL_CHANNEL_PRESENTED)
        self->Presented(*picture, *channel);
    else if (picture == nullptr && channel->status == VARNEL_CHANNEL_WAITING)
        self->Waiting(*channel);
}

void ElementPlayer::Waiting(const channelstate& state) {
    std::lock_guard<std::mutex> hold(m_lock);
    const int i = IndexOf(state.channel);
    if (i >= 0) m_status.channels[static_cast<size_t>(i)].waiting = true;
}

void ElementPlayer::Presented(const pictureframe& p, const channelstate& state) {
    const int i = IndexOf(state.channel);
    if (i < 0 || p.pixels == nullptr || p.width <= 0 || p.height <= 0 || p.width > kMaxSide ||
        p.height > kMaxSide)
        return;
    const auto index = static_cast<size_t>(i);
    const double now = SecondsSinceStart();
    int64_t n;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        Channel& c = m_status.channels[index];
        n = c.pictures++;
        if (c.firstFrameTime < 0) c.firstFrameTime = p.frameTime;
        c.lastFrameTime = p.frameTime;
        c.width = p.width;
        c.height = p.height;
        c.waiting = false;
        if (m_status.firstPictureAt < 0) m_status.firstPictureAt = now;
        if (m_status.heldFrom < 0 || p.frameTime < m_status.heldFrom)
            m_status.heldFrom = p.frameTime;
        m_status.indexedUpTo = std::max(m_status.indexedUpTo, p.lastFrameTime);
        m_status.lastPictureAt = now;
        ++m_status.pictures;
    }
    if (m_wanted && m_wanted(index, n)) {
        Picture kept(p.width, p.height);
        std::memcpy(kept.bgr.data(), p.pixels, kept.bgr.size());
        kept.frameTime = p.frameTime;
        kept.index = n;
        kept.source = state.channel;
        std::lock_guard<std::mutex> hold(m_lock);
        m_kept.emplace_back(index, std::move(kept));
    }
    if (m_cellWidth <= 0 || m_cellHeight <= 0) return;
    // Straight into the channel's cell, fitted with its aspect kept: the pictures of sixteen
    // channels copied whole would be a gigabyte a second.
    const double fit = std::min(static_cast<double>(m_cellWidth) / p.width,
                                static_cast<double>(m_cellHeight) / p.height);
    const int w = std::clamp(static_cast<int>(std::lround(p.width * fit)), 1, m_cellWidth);
    const int h = std::clamp(static_cast<int>(std::lround(p.height * fit)), 1, m_cellHeight);
    m_scaler = sws_getCachedContext(m_scaler, p.width, p.height, AV_PIX_FMT_BGR24, w, h,
                                    AV_PIX_FMT_BGR24, SWS_FAST_BILINEAR, nullptr, nullptr, nullptr);
    if (m_scaler == nullptr) return;
    std::lock_guard<std::mutex> hold(m_lock);
    Picture& cell = m_cells[index];
    std::fill(cell.bgr.begin(), cell.bgr.end(), 0);
    const uint8_t* src[4] = {p.pixels, nullptr, nullptr, nullptr};
    const int srcStride[4] = {p.width * 3, 0, 0, 0};
    uint8_t* dst[4] = {cell.Row((m_cellHeight - h) / 2) + (m_cellWidth - w) / 2 * 3, nullptr,
                       nullptr, nullptr};
    const int dstStride[4] = {m_cellWidth * 3, 0, 0, 0};
    sws_scale(m_scaler, src, srcStride, 0, p.height, dst, dstStride);
    cell.frameTime = p.frameTime;
    cell.source = state.channel;
    m_cellFrameTime = p.frameTime;
    ++m_cellSerial;
}

ElementPlayer::Snapshot ElementPlayer::Status() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_status;
}

std::vector<std::pair<size_t, Picture>> ElementPlayer::TakeKept() {
    std::lock_guard<std::mutex> hold(m_lock);
    return std::move(m_kept);
}

bool ElementPlayer::Cells(std::vector<Picture>& out, int64_t& serial, int64_t& frameTime) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_cellSerial == serial) return false;
    serial = m_cellSerial;
    frameTime = m_cellFrameTime;
    out = m_cells;
    return true;
}

}  // namespace play
