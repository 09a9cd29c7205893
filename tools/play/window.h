// The SDL2 window of varnel-play: shows the latest picture and turns keys into controls.
#pragma once

#include <string>
#include <vector>

#include "picture.h"

struct SDL_Window;
struct SDL_Renderer;
struct SDL_Texture;

namespace play {

enum class Key { TogglePause, Faster, Slower, Reverse, Forward, StepForward, StepBack, Quit };

class Window {
public:
    // True when an X11 or Wayland display is named in the environment.
    static bool DisplayAvailable();

    Window() = default;
    ~Window();
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    bool Open(std::string& error);
    // Shows the picture, fitting the window to it (within the screen) when its size changes.
    void Show(const Picture& picture);
    void Redraw();
    void SetTitle(const std::string& title);
    std::vector<Key> Poll();

private:
    SDL_Window* m_window = nullptr;
    SDL_Renderer* m_renderer = nullptr;
    SDL_Texture* m_texture = nullptr;
    int m_width = 0, m_height = 0;  // of the texture
    bool m_video = false;           // this window started SDL's video subsystem
    std::string m_title;
};

}  // namespace play
