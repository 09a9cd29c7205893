#include "window.h"

#define SDL_MAIN_HANDLED
#include <SDL.h>

#include <algorithm>
#include <cstdlib>

namespace play {

bool Window::DisplayAvailable() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"})
        if (const char* v = std::getenv(name); v && *v) return true;
    return false;
}

Window::~Window() {
    if (m_texture) SDL_DestroyTexture(m_texture);
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
                                360, SDL_WINDOW_RESIZABLE);
    // No vsync: the main loop paces itself and must not wait on a display that never syncs.
    if (m_window) m_renderer = SDL_CreateRenderer(m_window, -1, 0);
    if (!m_window || !m_renderer) {
        error = SDL_GetError();
        return false;
    }
    SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, "linear");
    SDL_SetRenderDrawColor(m_renderer, 0, 0, 0, 255);
    SDL_RenderClear(m_renderer);
    SDL_RenderPresent(m_renderer);
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
        // A new size: the window takes the picture's size, scaled down to fit the screen.
        int w = m_width, h = m_height;
        SDL_Rect usable;
        if (SDL_GetDisplayUsableBounds(SDL_GetWindowDisplayIndex(m_window), &usable) == 0 &&
            (w > usable.w || h > usable.h)) {
            double fit =
                std::min(static_cast<double>(usable.w) / w, static_cast<double>(usable.h) / h);
            w = static_cast<int>(w * fit);
            h = static_cast<int>(h * fit);
        }
        SDL_SetWindowSize(m_window, w, h);
        SDL_SetWindowPosition(m_window, SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED);
        SDL_RenderSetLogicalSize(m_renderer, m_width, m_height);
    }
    if (!m_texture) return;
    SDL_UpdateTexture(m_texture, nullptr, picture.bgr.data(), picture.width * 3);
    Redraw();
}

void Window::Redraw() {
    if (!m_renderer) return;
    SDL_RenderClear(m_renderer);
    if (m_texture) SDL_RenderCopy(m_renderer, m_texture, nullptr, nullptr);
    SDL_RenderPresent(m_renderer);
}

void Window::SetTitle(const std::string& title) {
    if (m_window && title != m_title) {
        m_title = title;
        SDL_SetWindowTitle(m_window, title.c_str());
    }
}

std::vector<Key> Window::Poll() {
    std::vector<Key> keys;
    SDL_Event e;
    while (SDL_PollEvent(&e)) {
        if (e.type == SDL_QUIT) {
            keys.push_back(Key::Quit);
        } else if (e.type == SDL_WINDOWEVENT && e.window.event == SDL_WINDOWEVENT_EXPOSED) {
            Redraw();
        } else if (e.type == SDL_KEYDOWN) {
            switch (e.key.keysym.sym) {
                case SDLK_SPACE:
                    keys.push_back(Key::TogglePause);
                    break;
                case SDLK_PLUS:
                case SDLK_EQUALS:
                case SDLK_KP_PLUS:
                    keys.push_back(Key::Faster);
                    break;
                case SDLK_MINUS:
                case SDLK_KP_MINUS:
                    keys.push_back(Key::Slower);
                    break;
                case SDLK_r:
                    keys.push_back(Key::Reverse);
                    break;
                case SDLK_f:
                    keys.push_back(Key::Forward);
                    break;
                case SDLK_RIGHT:
                    keys.push_back(Key::StepForward);
                    break;
                case SDLK_LEFT:
                    keys.push_back(Key::StepBack);
                    break;
                case SDLK_q:
                case SDLK_ESCAPE:
                    keys.push_back(Key::Quit);
                    break;
                default:
                    break;
            }
        }
    }
    return keys;
}

}  // namespace play
