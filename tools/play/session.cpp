#include "session.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>

#include "buffer_scan.h"
#include "contact_sheet.h"
#include "grid_session.h"
#include "player.h"
#include "png.h"
#include "probe.h"
#include "recorder_time.h"
#include "report.h"
#include "session_kit.h"
#include "window.h"

namespace play {
namespace {

namespace fs = std::filesystem;

constexpr auto kTick = std::chrono::milliseconds(10);
constexpr double kProgressEvery = 0.25;
constexpr double kScanEvery = 0.5;  // working files read for the seconds buffered
constexpr double kEndGrace = 3.0;   // seconds from the end callback to the engine's close
constexpr int kMinSpeed = -3, kMaxSpeed = 3;

// The library's trace lines, into a file. The sink is called from any of its threads.
class TraceFile {
public:
    explicit TraceFile(const std::string& path) {
        if (path.empty()) return;
        m_file = std::fopen(path.c_str(), "w");
        if (m_file) varnel_set_trace_sink(&TraceFile::Sink, this);
    }
    ~TraceFile() {
        if (!m_file) return;
        varnel_set_trace_sink(nullptr, nullptr);
        std::fclose(m_file);
    }
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;
    bool Failed(const std::string& path) const { return !path.empty() && !m_file; }

private:
    static void Sink(const char* line, void* user) {
        auto* self = static_cast<TraceFile*>(user);
        std::lock_guard<std::mutex> guard(self->m_lock);
        std::fputs(line, self->m_file);
        // Line by line: the trace is read most when the program hangs or is killed.
        std::fflush(self->m_file);
    }
    std::FILE* m_file = nullptr;
    std::mutex m_lock;
};

// The terminal line that is rewritten in place while playing.
class ProgressPrinter {
public:
    explicit ProgressPrinter(bool quiet) : m_quiet(quiet) {}
    void Show(const std::string& line) {
        if (m_quiet || line == m_last) return;
        m_last = line;
        std::string padded = line;
        if (padded.size() < m_width) padded.append(m_width - padded.size(), ' ');
        m_width = line.size();
        std::fprintf(stderr, "\r%s", padded.c_str());
        std::fflush(stderr);
    }
    void Finish() {
        if (m_width > 0 && !m_quiet) std::fputc('\n', stderr);
        m_width = 0;
    }

private:
    bool m_quiet;
    size_t m_width = 0;
    std::string m_last;
};

class Session {
public:
    explicit Session(const Options& o)
        : m_o(o), m_sheet(o.sheetColumns, o.sheetPictures, o.thumbWidth), m_progress(o.quiet) {}

    int Run();

private:
    void Control(const Command& command);
    void Apply(const TimedAction& action);
    void Keep(std::vector<Picture> pictures);
    void Loop();
    void Hold();
    int Finish();
    Progress ProgressOf(const Player::Snapshot& s);

    const Options& m_o;
    WorkFolders m_folders;  // before the player: removed after the player has gone
    ContactSheet m_sheet;
    ProgressPrinter m_progress;
    std::unique_ptr<Player> m_player;
    std::unique_ptr<Window> m_window;  // after the player: closed before it is destroyed
    RateMeter m_rate;
    Picture m_latest;
    int64_t m_latestSerial = 0;
    int64_t m_written = 0;
    std::string m_writeError;
    std::string m_ending;
    double m_seconds = 0;
    double m_buffered = -1;
    BufferedRange m_held;  // of the working files' last scan
    double m_nextScan = 0;
};

void Session::Control(const Command& command) {
    Player& p = *m_player;
    switch (command.key) {
        case Key::TogglePause:
            p.SetPaused(!p.Paused());
            break;
        case Key::Faster:
            p.SetSpeed(std::min(p.Speed() + 1, kMaxSpeed));
            break;
        case Key::Slower:
            p.SetSpeed(std::max(p.Speed() - 1, kMinSpeed));
            break;
        case Key::Reverse:
            p.SetOrientation(0);
            break;
        case Key::Forward:
            p.SetOrientation(1);
            break;
        case Key::StepForward:
        case Key::StepBack:
            break;  // the playback object has no frame steps
        case Key::Seek:
            if (m_o.url.empty()) p.SeekTo(FrameTimeAt(m_o, command.at));
            break;
        case Key::Quit:
            m_ending = "quit";
            break;
    }
}

void Session::Apply(const TimedAction& a) {
    switch (a.kind) {
        case TimedAction::Pause:
            m_player->SetPaused(true);
            break;
        case TimedAction::Play:
            m_player->SetPaused(false);
            break;
        case TimedAction::Reverse:
            m_player->SetOrientation(0);
            break;
        case TimedAction::Forward:
            m_player->SetOrientation(1);
            break;
        case TimedAction::Speed:
            m_player->SetSpeed(a.speed);
            break;
    }
}

void Session::Keep(std::vector<Picture> pictures) {
    for (Picture& p : pictures) {
        m_sheet.Add(p);
        if (m_o.every <= 0 || p.index % m_o.every != 0) continue;
        char name[64];
        std::snprintf(name, sizeof name, "picture-%06lld.png", static_cast<long long>(p.index));
        std::string error;
        if (WritePng(p, (fs::path(m_o.outDir) / name).string(), error))
            ++m_written;
        else if (m_writeError.empty())
            m_writeError = error;
    }
}

Progress Session::ProgressOf(const Player::Snapshot& s) {
    Progress p;
    p.frameTime = s.lastFrameTime;
    p.pictures = s.pictures;
    p.rate = m_rate.Rate(m_player->SecondsSinceStart());
    double now = m_player->SecondsSinceStart();
    if (s.bufferedUpTo > 0 && s.lastFrameTime > 0) {
        p.buffered = std::abs(static_cast<double>(s.bufferedUpTo - s.lastFrameTime)) / 1e7;
    } else if (now >= m_nextScan) {
        m_held = ScanWorkingFiles(m_folders.Save());
        m_buffered = SecondsAhead(m_held, s.lastFrameTime, m_player->Orientation());
        m_nextScan = now + kScanEvery;
    }
    if (p.buffered < 0) p.buffered = m_buffered;
    p.speed = m_player->Speed();
    p.orientation = m_player->Orientation();
    p.paused = m_player->Paused();
    return p;
}

void Session::Loop() {
    std::vector<TimedAction> actions = m_o.actions;
    std::stable_sort(actions.begin(), actions.end(),
                     [](const TimedAction& a, const TimedAction& b) { return a.at < b.at; });
    size_t nextAction = 0;
    double nextProgress = 0, endSeenAt = -1;
    int64_t counted = 0;
    while (true) {
        Player::Snapshot s = m_player->Status();
        double now = m_player->SecondsSinceStart();
        double sinceFirst = s.firstPictureAt < 0 ? -1 : now - s.firstPictureAt;
        for (; counted < s.pictures; ++counted) m_rate.Add(now);

        if (m_window)
            for (const Command& command : m_window->Poll()) Control(command);
        if (Interrupted()) m_ending = "interrupted";
        while (sinceFirst >= 0 && nextAction < actions.size() &&
               actions[nextAction].at <= sinceFirst)
            Apply(actions[nextAction++]);

        Keep(m_player->TakeKept());
        if (m_player->Latest(m_latest, m_latestSerial) && m_window) m_window->Show(m_latest);
        if (now >= nextProgress) {
            m_progress.Show(ProgressLine(ProgressOf(s)));
            nextProgress = now + kProgressEvery;
        }
        if (m_window) {
            // The on-file index reports what it holds; in stream mode the scan above tells.
            const bool indexed = s.bufferedUpTo > 0;
            // The time of the picture on the screen, not of the status: a picture that came
            // between the two would draw the window once for the text and once for itself.
            const int64_t shown = m_latest.frameTime > 0 ? m_latest.frameTime : s.lastFrameTime;
            std::string line =
                StatusLine(shown, m_player->Speed(), m_player->Orientation(), m_player->Paused());
            m_window->SetTitle("varnel-play - " + line);
            m_window->SetOverlay(OverlayOf(m_o, std::move(line), shown,
                                           indexed ? s.firstFrameTime : m_held.earliest,
                                           indexed ? s.bufferedUpTo : m_held.latest));
            m_window->Draw();
        }

        if (!m_ending.empty()) break;
        if (s.ended) {
            if (endSeenAt < 0) endSeenAt = now;
            if (s.closed || now - endSeenAt > kEndGrace) {
                m_ending = "end of recording";
                break;
            }
        } else if (s.closed) {
            m_ending = "engine closed";
            break;
        }
        if (m_o.duration > 0 && sinceFirst >= m_o.duration) {
            m_ending = "duration reached";
            break;
        }
        if (s.pictures == 0 && now > m_o.timeout) {
            m_ending = "no picture in time";
            break;
        }
        std::this_thread::sleep_for(kTick);
    }
    m_seconds = m_player->SecondsSinceStart();
}

void Session::Hold() {
    if (!m_window || m_o.hold <= 0 || m_ending == "quit" || Interrupted()) return;
    auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(m_o.hold);
    while (std::chrono::steady_clock::now() < until && !Interrupted()) {
        for (const Command& command : m_window->Poll())
            if (command.key == Key::Quit) return;
        m_window->Draw();
        std::this_thread::sleep_for(kTick);
    }
}

int Session::Finish() {
    Player::Snapshot s = m_player->Status();
    m_progress.Show(ProgressLine(ProgressOf(s)));
    m_progress.Finish();

    Summary sum;
    sum.pictures = s.pictures;
    sum.fosPictures = s.fosPictures;
    sum.firstFrameTime = s.firstFrameTime;
    sum.lastFrameTime = s.lastFrameTime;
    sum.width = s.width;
    sum.height = s.height;
    sum.feedState = s.ended ? s.feedState : -1;
    sum.ending = m_ending;
    sum.seconds = m_seconds;
    sum.timing = m_player->Timing();
    sum.picturesWritten = m_written;
    sum.picturesMissed = s.missed;

    int code = kExitOk;
    std::string error;
    if (m_sheet.Count() > 0) {
        Picture sheet = m_sheet.Compose();
        std::string path = (fs::path(m_o.outDir) / "contact-sheet.png").string();
        if (WritePng(sheet, path, error)) {
            sum.sheetPath = path;
            sum.sheetPictures = m_sheet.Count();
            sum.sheetWidth = sheet.width;
            sum.sheetHeight = sheet.height;
        }
    }
    if (!m_latest.Empty() && error.empty())
        WritePng(m_latest, (fs::path(m_o.outDir) / "last.png").string(), error);
    if (error.empty()) error = m_writeError;
    if (!error.empty()) {
        sum.error = "cannot write the pictures: " + error;
        code = kExitFailure;
    }

    bool stoppedByPerson = m_ending == "quit" || m_ending == "interrupted";
    if (s.pictures == 0 && !stoppedByPerson) {
        Address address{HostOfIp(m_o.ip), m_o.port};
        bool haveAddress = m_o.url.empty() || AddressOfUrl(m_o.url, address);
        std::string reason;
        std::string where = address.host + ":" + std::to_string(address.port);
        if (s.feedState != VARNEL_FEED_END_MARK && haveAddress &&
            !Reachable(address, 3.0, reason)) {
            sum.error = "cannot reach the recorder at " + where + " (" + reason + ")";
            code = kExitUnreachable;
        } else if (m_o.url.empty()) {
            sum.error = "no pictures in the range " + FrameTimeText(FrameTimeOf(m_o.begin)) +
                        " - " + FrameTimeText(FrameTimeOf(m_o.end)) + " from " + where;
            code = kExitNothing;
        } else {
            sum.error = "no pictures from " + Shown(m_o.url);
            code = kExitNothing;
        }
    }

    std::fputs(SummaryText(sum).c_str(), stdout);
    std::fflush(stdout);
    if (!m_o.jsonPath.empty()) {
        std::string json = SummaryJson(sum);
        if (m_o.jsonPath == "-") {
            std::fputs(json.c_str(), stdout);
        } else {
            std::ofstream file(m_o.jsonPath, std::ios::trunc);
            file << json;
            if (!file) {
                Fail("cannot write " + m_o.jsonPath);
                if (code == kExitOk) code = kExitFailure;
            }
        }
    }
    if (!sum.error.empty()) Fail(sum.error);
    return code;
}

int Session::Run() {
    if (!m_folders.Prepare(m_o, sizeof(StreamSetting{}.SaveFolder))) return kExitFailure;
    TraceFile trace(m_o.tracePath);
    if (trace.Failed(m_o.tracePath)) {
        Fail("cannot write the trace file " + m_o.tracePath);
        return kExitFailure;
    }
    CatchInterrupts();

    const ContactSheet& sheet = m_sheet;
    int every = m_o.every;
    m_player = std::make_unique<Player>(m_o, m_folders.Save(), [&sheet, every](int64_t index) {
        return sheet.Wants(index) || (every > 0 && index % every == 0);
    });
    if (!OpenWindow(m_o, m_window)) return kExitFailure;
    m_player->Start();
    Loop();
    m_player->Stop();
    Keep(m_player->TakeKept());
    if (m_player->Latest(m_latest, m_latestSerial) && m_window) {
        m_window->Show(m_latest);
        m_window->Draw();
    }
    int code = Finish();
    Hold();
    m_window.reset();
    m_player.reset();
    return code;
}

}  // namespace

int RunSession(const Options& options) {
    if (!options.channels.empty()) {
        TraceFile trace(options.tracePath);
        if (trace.Failed(options.tracePath)) {
            Fail("cannot write the trace file " + options.tracePath);
            return kExitFailure;
        }
        return RunGridSession(options);
    }
    Session session(options);
    return session.Run();
}

}  // namespace play
