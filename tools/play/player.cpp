#include "player.h"

#include "recorder_time.h"
#include "session_kit.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace play {
namespace {

// The library's callbacks carry no user argument, so the one playing object is found here.
std::atomic<Player*> g_player{nullptr};

// Kept pictures waiting for the main thread; beyond this the library's thread waits for room
// (bounded), so that a slow disk costs smoothness rather than pictures.
constexpr size_t kMaxKept = 8;
constexpr auto kRoomWait = std::chrono::seconds(2);
// Sizes beyond this are taken as a broken record rather than copied.
constexpr int kMaxSide = 16384;

std::atomic<bool> g_stopping{false};

double Now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

double SpeedFactor(int exponent) {
    return exponent == 2 ? 4.0 : std::pow(2.0, exponent);
}

template <size_t N>
void CopyText(char (&field)[N], const std::string& text) {
    std::memset(field, 0, N);
    std::memcpy(field, text.data(), std::min(text.size(), N - 1));
}

}  // namespace

Player::Player(const Options& options, std::string saveFolder, Wanted wanted)
    : m_options(options),
      m_saveFolder(std::move(saveFolder)),
      m_wanted(std::move(wanted)),
      m_speed(options.speed),
      m_orientation(options.orientation) {
    m_schedule.SetSpeed(SpeedFactor(m_speed));
}

Player::~Player() {
    Stop();
}

StreamSetting Player::Record(int fosId) const {
    const Options& o = m_options;
    StreamSetting s = RangeRecord(o);
    s.FosID = fosId;
    s.OnFile = o.onFile ? 1 : 0;
    CopyText(s.SaveFolder, m_saveFolder);
    CopyText(s.DirectURL, o.url);
    CopyText(s.WriteFileName, "varnel-play.feed");
    s.Speed = m_speed;
    s.Orientation = m_orientation;
    s.IsOnlyKeyFrame = o.keyFramesOnly || m_speed > 0 ? 1 : 0;
    s.NoAudio = o.noAudio ? 1 : 0;
    s.FrameCallback = &Player::OnFrame;
    s.EndCallback = &Player::OnEnd;
    return s;
}

void Player::Start() {
    Player* none = nullptr;
    if (!g_player.compare_exchange_strong(none, this))
        throw std::logic_error("one player at a time");
    g_stopping = false;
    m_start = static_cast<int64_t>(Now() * 1e6);
    m_player.reset(CVarnel1_Create(0, 1));
    CVarnel1_SetReverseMode(
        m_player.get(), m_options.smoothReverse ? VARNEL_REVERSE_SMOOTH : VARNEL_REVERSE_GROUPS);
    m_running = true;
    OpenObject(Record(m_options.fosId));
}

void Player::OpenObject(const StreamSetting& main) {
    if (m_options.fos) {
        StreamSetting fos = Record(m_options.fosStreamId);
        fos.BeginTime = main.BeginTime;
        fos.EndTime = main.EndTime;
        CVarnel1_OpenFOS(m_player.get(), &main, &fos);
    } else {
        CVarnel1_Open1(m_player.get(), &main);
    }
}

void Player::CloseObject() {
    g_stopping = true;
    m_room.notify_all();
    CVarnel1_Close(m_player.get(), true);
}

void Player::Stop() {
    if (!m_running) return;
    CloseObject();
    m_running = false;
    Player* self = this;
    g_player.compare_exchange_strong(self, nullptr);
}

double Player::SecondsSinceStart() const {
    return Now() - static_cast<double>(m_start) / 1e6;
}

void Player::SetPaused(bool paused) {
    if (!m_running || paused == m_paused) return;
    int state;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        state = m_status.state;
        m_schedule.Restart();
    }
    // Pause acts only on a playing engine; right after the open the engine reports "opened",
    // and Play, which toggles, is what pauses it then.
    if (paused && state == VARNEL_STATE_PLAYING)
        CVarnel1_Pause(m_player.get());
    else
        CVarnel1_Play(m_player.get());
    m_paused = paused;
}

void Player::SetSpeed(int exponent) {
    if (!m_running) return;
    m_speed = exponent;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_schedule.SetSpeed(SpeedFactor(exponent));
    }
    CVarnel1_SetSpeed_Orientation(m_player.get(), m_speed, m_orientation, true, m_options.noAudio);
}

void Player::SetOrientation(int orientation) {
    if (!m_running || orientation == m_orientation) return;
    m_orientation = orientation;
    // The object turns in place at the picture on screen (before the first picture the
    // direction goes with the next command) and goes on through the rest of the range,
    // asking the recorder again when it has ended the feed.
    CVarnel1_SetSpeed_Orientation(m_player.get(), m_speed, m_orientation, true, m_options.noAudio);
    std::lock_guard<std::mutex> guard(m_lock);
    m_schedule.Restart();
}

void Player::SeekTo(int64_t frameTime) {
    if (!m_running) return;
    const int64_t begin = FrameTimeOf(m_options.begin);
    const int64_t at = SeekSecond(frameTime, begin, FrameTimeOf(m_options.end), m_orientation);
    if (m_options.onFile) {
        int64_t held;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            held = m_status.bufferedUpTo;
        }
        CVarnel1_SetPos(m_player.get(), PercentOfHeld(at, begin, held));
        return;
    }
    CloseObject();
    g_stopping = false;
    StreamSetting main = Record(m_options.fosId);
    (m_orientation == 1 ? main.BeginTime : main.EndTime) = CalendarOf(at);
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_schedule.Restart();
        m_status.ended = false;
        m_status.closed = false;
        m_status.feedState = -1;
    }
    OpenObject(main);
    if (m_paused) CVarnel1_Play(m_player.get());  // the toggle: paused again, as it was
}

void Player::OnFrame(int32_t, int32_t state, double, FrameInfo* frame) {
    if (Player* p = g_player.load()) {
        if (frame)
            p->Frame(state, frame);
        else if (state == VARNEL_STATE_CLOSED)
            p->Closed();
        else {
            std::lock_guard<std::mutex> guard(p->m_lock);
            p->m_status.state = state;
        }
    }
}

void Player::OnEnd(int32_t, int32_t feedState, int32_t) {
    if (Player* p = g_player.load()) p->Ended(feedState);
}

void Player::Closed() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_status.state = VARNEL_STATE_CLOSED;
    m_status.closed = true;
}

void Player::Ended(int32_t feedState) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_status.ended = true;
    m_status.feedState = feedState;
}

void Player::Frame(int32_t state, const FrameInfo* frame) {
    double now = Now();
    bool usable = frame->Pixels && frame->Width > 0 && frame->Height > 0 &&
                  frame->Width <= kMaxSide && frame->Height <= kMaxSide;
    std::unique_lock<std::mutex> guard(m_lock);
    Snapshot& s = m_status;
    s.state = state;
    int64_t index = s.pictures++;
    // FrameTime is filled only for pictures that carry a frame record; a recorder time is
    // never zero or negative, so anything else is taken as none.
    int64_t frameTime = frame->FrameTime > 0 ? frame->FrameTime : -1;
    int source = frame->Source == 1 ? 1 : 0;
    if (source == 1) ++s.fosPictures;
    if (frameTime > 0) {
        if (s.firstFrameTime < 0) s.firstFrameTime = frameTime;
        s.lastFrameTime = frameTime;
        if (source == 0) m_schedule.Add(now, frameTime);
    }
    s.bufferedUpTo = frame->LastFrameTime;
    if (s.firstPictureAt < 0) s.firstPictureAt = now - static_cast<double>(m_start) / 1e6;
    if (!usable) return;
    s.width = frame->Width;
    s.height = frame->Height;
    size_t bytes = static_cast<size_t>(frame->Width) * frame->Height * 3;

    m_latest.width = frame->Width;
    m_latest.height = frame->Height;
    m_latest.bgr.assign(frame->Pixels, frame->Pixels + bytes);
    m_latest.frameTime = frameTime;
    m_latest.index = index;
    m_latest.source = source;
    ++m_latestSerial;

    if (!m_wanted || !m_wanted(index)) return;
    if (m_kept.size() >= kMaxKept && !m_room.wait_for(guard, kRoomWait, [this] {
            return m_kept.size() < kMaxKept || g_stopping.load();
        })) {
        ++s.missed;
        return;
    }
    if (m_kept.size() >= kMaxKept) {
        ++s.missed;
        return;
    }
    m_kept.push_back(m_latest);
}

Player::Snapshot Player::Status() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_status;
}

std::vector<Picture> Player::TakeKept() {
    std::vector<Picture> out;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        out.swap(m_kept);
    }
    m_room.notify_all();
    return out;
}

bool Player::Latest(Picture& out, int64_t& serial) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_latestSerial == serial || m_latest.Empty()) return false;
    serial = m_latestSerial;
    out = m_latest;
    return true;
}

Schedule::Result Player::Timing() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_schedule.Summarise();
}

}  // namespace play
