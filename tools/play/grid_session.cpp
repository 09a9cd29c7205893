// varnel-play --channels: several channels through the media element, in step. The window
// shows a grid with one cell a channel, labelled with its channel and recorder time; the
// contact sheet has one row a channel.
#include "grid_session.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <thread>

#include "buffer_scan.h"
#include "contact_sheet.h"
#include "element_player.h"
#include "font.h"
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
// The element reports no end: a recording has ended when no channel has shown a picture for
// this long while playing.
constexpr double kQuietEnd = 3.0;
constexpr double kScanEvery = 0.5;  // working files read for what is held
constexpr int kGridWidth = 1280;    // of the window's grid, in pixels
constexpr Colour kLabelText{255, 255, 255};
constexpr Colour kBand{0, 0, 0};

class GridSession {
public:
    explicit GridSession(const Options& o) : m_o(o) {
        const int n = static_cast<int>(o.channels.size());
        m_columns = static_cast<int>(std::ceil(std::sqrt(n)));
        m_rows = (n + m_columns - 1) / m_columns;
        m_cellWidth = kGridWidth / m_columns / 2 * 2;
        m_cellHeight = m_cellWidth * 9 / 16 / 2 * 2;
        for (int i = 0; i < n; ++i)
            m_sheets.push_back(
                std::make_unique<ContactSheet>(o.sheetColumns, o.sheetColumns, o.thumbWidth));
    }

    int Run();

private:
    void Control(const Command& command);
    void Loop();
    Picture Grid(const std::vector<Picture>& cells, const ElementPlayer::Snapshot& s) const;
    Picture Sheet() const;
    int Finish();

    const Options& m_o;
    int m_columns, m_rows, m_cellWidth, m_cellHeight;
    WorkFolders m_folders;  // before the player: removed after the player has gone
    std::vector<std::unique_ptr<ContactSheet>> m_sheets;  // one row a channel
    std::unique_ptr<ElementPlayer> m_player;
    std::unique_ptr<Window> m_window;  // after the player: closed before it is destroyed
    std::string m_ending;
    double m_seconds = 0;
};

void GridSession::Control(const Command& command) {
    ElementPlayer& p = *m_player;
    switch (command.key) {
        case Key::TogglePause:
            p.SetPaused(!p.Paused());
            break;
        case Key::Faster:
            p.SetSpeed(p.Speed() + 1);
            break;
        case Key::Slower:
            p.SetSpeed(p.Speed() - 1);
            break;
        case Key::Reverse:
            p.SetOrientation(0);
            break;
        case Key::Forward:
            p.SetOrientation(1);
            break;
        case Key::StepForward:
            p.StepForward();
            break;
        case Key::StepBack:
            p.StepBack();
            break;
        case Key::Seek:
            p.SeekTo(FrameTimeAt(m_o, command.at));
            break;
        case Key::Quit:
            m_ending = "quit";
            break;
    }
}

Picture GridSession::Grid(const std::vector<Picture>& cells,
                          const ElementPlayer::Snapshot& s) const {
    Picture grid(m_columns * m_cellWidth, m_rows * m_cellHeight);
    const int scale = m_cellWidth >= 480 ? 2 : 1;
    for (size_t i = 0; i < cells.size(); ++i) {
        const int x = static_cast<int>(i) % m_columns * m_cellWidth;
        const int y = static_cast<int>(i) / m_columns * m_cellHeight;
        for (int row = 0; row < m_cellHeight; ++row)
            std::copy_n(cells[i].Row(row), m_cellWidth * 3, grid.Row(y + row) + x * 3);
        const ElementPlayer::Channel& c = s.channels[i];
        std::string label = "CH " + std::to_string(c.channel) + "  " +
                            (c.pictures > 0 ? FrameTimeText(c.lastFrameTime) : "-");
        if (c.waiting) label += "  WAITING";
        const int band = kGlyphHeight * scale + 2 * (scale + 1);
        FillRect(grid, x, y + m_cellHeight - band, TextWidth(label, scale) + 2 * (scale + 1), band,
                 kBand);
        DrawText(grid, x + scale + 1, y + m_cellHeight - band + scale + 1, label, scale,
                 kLabelText);
    }
    return grid;
}

Picture GridSession::Sheet() const {
    // The rows of the channels' sheets one below the other, each labelled with its channel.
    std::vector<Picture> rows;
    int width = 0, height = 0;
    for (size_t i = 0; i < m_sheets.size(); ++i) {
        Picture row = m_sheets[i]->Compose();
        if (row.Empty()) continue;
        std::string label = "CH " + std::to_string(m_o.channels[i]);
        FillRect(row, 0, 0, TextWidth(label, 2) + 6, kGlyphHeight * 2 + 6, kBand);
        DrawText(row, 3, 3, label, 2, kLabelText);
        width = std::max(width, row.width);
        height += row.height;
        rows.push_back(std::move(row));
    }
    if (rows.empty()) return Picture();
    Picture sheet(width, height);
    FillRect(sheet, 0, 0, width, height, Colour{32, 32, 32});
    int y = 0;
    for (const Picture& row : rows) {
        for (int r = 0; r < row.height; ++r)
            std::copy_n(row.Row(r), row.width * 3, sheet.Row(y + r));
        y += row.height;
    }
    return sheet;
}

void GridSession::Loop() {
    std::vector<Picture> cells;
    int64_t serial = 0, shown = -1;
    double nextScan = 0;
    BufferedRange held;
    while (true) {
        ElementPlayer::Snapshot s = m_player->Status();
        const double now = m_player->SecondsSinceStart();
        if (m_window)
            for (const Command& command : m_window->Poll()) Control(command);
        if (Interrupted()) m_ending = "interrupted";
        for (auto& [channel, picture] : m_player->TakeKept()) m_sheets[channel]->Add(picture);
        if (m_window && m_player->Cells(cells, serial, shown)) m_window->Show(Grid(cells, s));
        if (m_window) {
            // In stream mode the working files tell what is held, as for the playback object.
            if (s.indexedUpTo > 0) {
                held = BufferedRange{s.heldFrom, s.indexedUpTo, 0};
            } else if (now >= nextScan) {
                held = ScanWorkingFiles(m_folders.Save());
                nextScan = now + kScanEvery;
            }
            // The time of the pictures on the screen, not of the status: a picture that came
            // between the two would draw the window once for the text and once for itself.
            std::string line =
                StatusLine(shown, m_player->Speed(), m_player->Orientation(), m_player->Paused());
            m_window->SetTitle("varnel-play - " + line);
            m_window->SetOverlay(
                OverlayOf(m_o, std::move(line), shown, held.earliest, held.latest));
            m_window->Draw();
        }
        if (!m_ending.empty()) break;
        const double sinceFirst = s.firstPictureAt < 0 ? -1 : now - s.firstPictureAt;
        if (m_o.duration > 0 && sinceFirst >= m_o.duration) {
            m_ending = "duration reached";
            break;
        }
        if (s.pictures == 0 && now > m_o.timeout) {
            m_ending = "no picture in time";
            break;
        }
        if (s.pictures > 0 && !m_player->Paused() && now - s.lastPictureAt > kQuietEnd) {
            m_ending = "end of recording";
            break;
        }
        std::this_thread::sleep_for(kTick);
    }
    m_seconds = m_player->SecondsSinceStart();
}

int GridSession::Finish() {
    ElementPlayer::Snapshot s = m_player->Status();
    int code = kExitOk;
    std::string error;
    Picture sheet = Sheet();
    std::string sheetPath;
    if (!sheet.Empty()) {
        sheetPath = (fs::path(m_o.outDir) / "contact-sheet.png").string();
        if (!WritePng(sheet, sheetPath, error)) {
            Fail("cannot write the pictures: " + error);
            code = kExitFailure;
        }
    }
    std::printf("channels       %zu\n", s.channels.size());
    for (const ElementPlayer::Channel& c : s.channels)
        std::printf("channel %-6d %lld pictures  %s - %s  %dx%d\n", c.channel,
                    static_cast<long long>(c.pictures), FrameTimeText(c.firstFrameTime).c_str(),
                    FrameTimeText(c.lastFrameTime).c_str(), c.width, c.height);
    std::printf("ending         %s after %.1f s\n", m_ending.c_str(), m_seconds);
    if (!sheetPath.empty()) std::printf("contact sheet  %s\n", sheetPath.c_str());
    std::fflush(stdout);

    const bool stoppedByPerson = m_ending == "quit" || m_ending == "interrupted";
    if (s.pictures == 0 && !stoppedByPerson) {
        std::string reason;
        const Address address{HostOfIp(m_o.ip), m_o.port};
        const std::string where = address.host + ":" + std::to_string(m_o.port);
        if (!Reachable(address, 3.0, reason)) {
            Fail("cannot reach the recorder at " + where + " (" + reason + ")");
            return kExitUnreachable;
        }
        Fail("no pictures in the range " + FrameTimeText(FrameTimeOf(m_o.begin)) + " - " +
             FrameTimeText(FrameTimeOf(m_o.end)) + " from " + where);
        return kExitNothing;
    }
    return code;
}

int GridSession::Run() {
    if (!m_folders.Prepare(m_o, sizeof(MediaElementStreamSetting{}.saveFolder)))
        return kExitFailure;
    CatchInterrupts();
    std::vector<const ContactSheet*> sheets;
    for (const auto& sheet : m_sheets) sheets.push_back(sheet.get());
    const bool windowed = WindowWanted(m_o);
    m_player = std::make_unique<ElementPlayer>(
        m_o, m_folders.Save(), windowed ? m_cellWidth : 0, windowed ? m_cellHeight : 0,
        [sheets](size_t channel, int64_t index) { return sheets[channel]->Wants(index); });
    if (!OpenWindow(m_o, m_window)) return kExitFailure;
    m_player->Start();
    Loop();
    m_player->Stop();
    for (auto& [channel, picture] : m_player->TakeKept()) m_sheets[channel]->Add(picture);
    const int code = Finish();
    m_window.reset();
    m_player.reset();
    return code;
}

}  // namespace

int RunGridSession(const Options& options) {
    GridSession session(options);
    return session.Run();
}

}  // namespace play
