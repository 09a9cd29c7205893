#include "window.h"

#define SDL_MAIN_HANDLED
#include <SDL.h>

#include <algorithm>
#include <cstdlib>

#include "options.h"

namespace play {
namespace {

// The strip under the picture that holds the timeline, in window pixels: tall enough to hit
// with the mouse, and the whole strip takes clicks, not just the bar drawn in it.
constexpr int kStrip = 28;
constexpr int kBarMargin = 12;  // left and right of the bar
constexpr int kBarHeight = kStrip - 2 * 8;
constexpr int kTextMargin = 8;  // of the text from the picture's corner
constexpr int kMaxColumns = 72, kMaxLines = 12, kMaxScale = 2;

void Fill(SDL_Renderer* r, int x, int y, int w, int h, Colour c) {
    SDL_SetRenderDrawColor(r, c.r, c.g, c.b, 255);
    const SDL_Rect rect{x, y, w, h};
    SDL_RenderFillRect(r, &rect);
}

}  // namespace

bool Window::DisplayAvailable() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"})
        if (const char* v = std::getenv(name); v && *v) return true;
    return false;
}

void Window::Text::Release() {
    if (m_texture) SDL_DestroyTexture(m_texture);
    m_texture = nullptr;
    m_lines.clear();
}

void Window::Text::Set(SDL_Renderer* renderer, const std::string& lines, int scale) {
    if (lines == m_lines && scale == m_scale) return;
    m_lines = lines;
    m_scale = scale;
    const int pad = scale + 1, advance = kGlyphHeight * scale + 2 * pad;
    if (!m_texture) {
        const int w = kMaxColumns * (kGlyphWidth + 1) * kMaxScale + 2 * (kMaxScale + 1);
        const int h = kMaxLines * (kGlyphHeight * kMaxScale + 2 * (kMaxScale + 1));
        m_canvas = Picture(w, h);
        m_texture =
            SDL_CreateTexture(renderer, SDL_PIXELFORMAT_BGR24, SDL_TEXTUREACCESS_STREAMING, w, h);
        if (!m_texture) return;
    }
    // A black band behind the text, as on the contact sheet: readable on any picture.
    m_width = m_height = 0;
    int lineCount = 0;
    for (size_t from = 0; from <= lines.size() && lineCount < kMaxLines; ++lineCount) {
        size_t to = std::min(lines.find('\n', from), lines.size());
        std::string_view line(lines.data() + from, std::min<size_t>(to - from, kMaxColumns));
        m_width = std::max(m_width, TextWidth(line, scale) + 2 * pad);
        from = to + 1;
    }
    m_height = lineCount * advance;
    FillRect(m_canvas, 0, 0, m_width, m_height, Colour{0, 0, 0});
    int y = pad;
    for (size_t from = 0; from <= lines.size() && y < m_height; y += advance) {
        size_t to = std::min(lines.find('\n', from), lines.size());
        std::string_view line(lines.data() + from, std::min<size_t>(to - from, kMaxColumns));
        DrawText(m_canvas, pad, y, line, scale, Colour{255, 255, 255});
        from = to + 1;
    }
    const SDL_Rect used{0, 0, m_width, m_height};
    if (m_width > 0 && m_height > 0)
        SDL_UpdateTexture(m_texture, &used, m_canvas.bgr.data(), m_canvas.width * 3);
}

void Window::Text::Render(SDL_Renderer* renderer, int x, int y) const {
    if (!m_texture || m_width <= 0) return;
    const SDL_Rect src{0, 0, m_width, m_height}, dst{x, y, m_width, m_height};
    SDL_RenderCopy(renderer, m_texture, &src, &dst);
}

Window::~Window() {
    if (m_texture) SDL_DestroyTexture(m_texture);
    m_line.Release();
    m_keys.Release();
    if (m_renderer) SDL_DestroyRenderer(m_renderer);
    if (m_window) SDL_DestroyWindow(m_window);
    if (m_video) SDL_QuitSubSystem(SDL_INIT_VIDEO);
}

bool Window::Open(std::string& error) {
    if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) {
        error = SDL_GetError();
        return false;
    }
    m_video = true;
    m_window = SDL_CreateWindow("varnel-play", SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, 640,
                                360 + kStrip, SDL_WINDOW_RESIZABLE);
    // No vsync: the main loop paces itself and must not wait on a display that never syncs.
    if (m_window) m_renderer = SDL_CreateRenderer(m_window, -1, 0);
    if (!m_window || !m_renderer) {
        error = SDL_GetError();
        return false;
    }
    SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, "linear");
    m_dirty = true;
    Draw();
    return true;
}

void Window::Show(const Picture& picture) {
    if (!m_renderer || picture.Empty()) return;
    if (!m_texture || picture.width != m_width || picture.height != m_height) {
        if (m_texture) SDL_DestroyTexture(m_texture);
        m_texture = SDL_CreateTexture(m_renderer, SDL_PIXELFORMAT_BGR24,
                                      SDL_TEXTUREACCESS_STREAMING, picture.width, picture.height);
        m_width = picture.width;
        m_height = picture.height;
        // A new size: the window takes the picture's size and the strip under it, scaled
        // down to fit the screen.
        int w = m_width, h = m_height + kStrip;
        SDL_Rect usable;
        if (SDL_GetDisplayUsableBounds(SDL_GetWindowDisplayIndex(m_window), &usable) == 0 &&
            (w > usable.w || h > usable.h)) {
            double fit =
                std::min(static_cast<double>(usable.w) / w, static_cast<double>(usable.h) / h);
            w = static_cast<int>(w * fit);
            h = static_cast<int>((h - kStrip) * fit) + kStrip;
        }
        SDL_SetWindowSize(m_window, w, h);
        SDL_SetWindowPosition(m_window, SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED);
    }
    if (!m_texture) return;
    SDL_UpdateTexture(m_texture, nullptr, picture.bgr.data(), picture.width * 3);
    m_dirty = true;
}

void Window::SetOverlay(const Overlay& overlay) {
    if (overlay == m_overlay) return;
    m_overlay = overlay;  // the line's buffer is reused: no allocation while its length holds
    m_dirty = true;
}

void Window::Draw() {
    if (!m_renderer || !m_dirty) return;
    m_dirty = false;
    Render();
}

// In the renderer's pixels, which on X11 are the window's: the picture fitted above the strip
// with its aspect kept, the text at its own size so that it stays sharp whatever the scale.
void Window::Render() {
    int w = 0, h = 0;
    SDL_GetRendererOutputSize(m_renderer, &w, &h);
    SDL_SetRenderDrawColor(m_renderer, 0, 0, 0, 255);
    SDL_RenderClear(m_renderer);
    const int areaH = std::max(h - kStrip, 1);
    SDL_Rect pic{0, 0, w, areaH};
    if (m_texture && m_width > 0 && m_height > 0) {
        const double fit =
            std::min(static_cast<double>(w) / m_width, static_cast<double>(areaH) / m_height);
        pic.w = static_cast<int>(m_width * fit);
        pic.h = static_cast<int>(m_height * fit);
        pic.x = (w - pic.w) / 2;
        pic.y = (areaH - pic.h) / 2;
        SDL_RenderCopy(m_renderer, m_texture, nullptr, &pic);
    }
    const int scale = w >= 960 ? 2 : 1;
    if (!m_overlay.line.empty()) {
        m_line.Set(m_renderer, m_overlay.line, scale);
        m_line.Render(m_renderer, pic.x + kTextMargin, pic.y + kTextMargin);
    }
    if (m_help) {
        m_keys.Set(m_renderer, KeysText(), scale);
        m_keys.Render(m_renderer, pic.x + (pic.w - m_keys.Width()) / 2,
                      pic.y + (pic.h - m_keys.Height()) / 2);
    }
    // The timeline: the range, what the library holds of it, and the place shown (or the
    // place the mouse drags to).
    const int barW = std::max(w - 2 * kBarMargin, 1), barY = h - kStrip + (kStrip - kBarHeight) / 2;
    const auto at = [&](double place) {
        return kBarMargin + static_cast<int>(std::clamp(place, 0.0, 1.0) * barW);
    };
    Fill(m_renderer, 0, h - kStrip, w, kStrip, Colour{24, 24, 24});
    const double place = m_dragging ? m_dragAt : m_overlay.position;
    if (place >= 0) {
        Fill(m_renderer, kBarMargin, barY, barW, kBarHeight, Colour{64, 64, 64});
        const int heldX = at(std::min(m_overlay.heldFrom, m_overlay.heldTo));
        Fill(m_renderer, heldX, barY, at(std::max(m_overlay.heldFrom, m_overlay.heldTo)) - heldX,
             kBarHeight, Colour{150, 150, 150});
        Fill(m_renderer, kBarMargin, barY, at(place) - kBarMargin, kBarHeight,
             Colour{230, 140, 40});
        Fill(m_renderer, at(place) - 2, h - kStrip + 2, 4, kStrip - 4, Colour{255, 255, 255});
    }
    SDL_RenderPresent(m_renderer);
}

double Window::PlaceAt(int x) const {
    int w = 0, h = 0;
    SDL_GetWindowSize(m_window, &w, &h);
    return std::clamp(static_cast<double>(x - kBarMargin) / std::max(w - 2 * kBarMargin, 1), 0.0,
                      1.0);
}

void Window::SetTitle(const std::string& title) {
    if (m_window && title != m_title) {
        m_title = title;
        SDL_SetWindowTitle(m_window, title.c_str());
    }
}

std::vector<Command> Window::Poll() {
    std::vector<Command> commands;
    const auto key = [&commands](Key k) { commands.push_back(Command{k}); };
    SDL_Event e;
    while (SDL_PollEvent(&e)) {
        if (e.type == SDL_QUIT) {
            key(Key::Quit);
        } else if (e.type == SDL_WINDOWEVENT && (e.window.event == SDL_WINDOWEVENT_EXPOSED ||
                                                 e.window.event == SDL_WINDOWEVENT_SIZE_CHANGED)) {
            m_dirty = true;
        } else if (e.type == SDL_MOUSEBUTTONDOWN && e.button.button == SDL_BUTTON_LEFT &&
                   m_overlay.position >= 0) {
            int w = 0, h = 0;
            SDL_GetWindowSize(m_window, &w, &h);
            if (e.button.y < h - kStrip) continue;
            m_dragging = m_dirty = true;
            m_dragAt = PlaceAt(e.button.x);
        } else if (e.type == SDL_MOUSEMOTION && m_dragging) {
            m_dragAt = PlaceAt(e.motion.x);
            m_dirty = true;
        } else if (e.type == SDL_MOUSEBUTTONUP && e.button.button == SDL_BUTTON_LEFT &&
                   m_dragging) {
            // The seek goes out once, where the mouse lets go: each one is a new request to
            // the recorder, too costly to send for every step of a drag.
            m_dragging = false;
            m_dirty = true;
            commands.push_back(Command{Key::Seek, PlaceAt(e.button.x)});
        } else if (e.type == SDL_KEYDOWN) {
            switch (e.key.keysym.sym) {
                case SDLK_SPACE:
                    key(Key::TogglePause);
                    break;
                case SDLK_PLUS:
                case SDLK_EQUALS:
                case SDLK_KP_PLUS:
                    key(Key::Faster);
                    break;
                case SDLK_MINUS:
                case SDLK_KP_MINUS:
                    key(Key::Slower);
                    break;
                case SDLK_r:
                    key(Key::Reverse);
                    break;
                case SDLK_f:
                    key(Key::Forward);
                    break;
                case SDLK_RIGHT:
                    key(Key::StepForward);
                    break;
                case SDLK_LEFT:
                    key(Key::StepBack);
                    break;
                case SDLK_HOME:
                case SDLK_END:
                    commands.push_back(
                        Command{Key::Seek, e.key.keysym.sym == SDLK_HOME ? 0.0 : 1.0});
                    break;
                case SDLK_h:
                    m_help = !m_help;
                    m_dirty = true;
                    break;
                case SDLK_q:
                case SDLK_ESCAPE:
                    key(Key::Quit);
                    break;
                default:
                    break;
            }
        }
    }
    return commands;
}

}  // namespace play
