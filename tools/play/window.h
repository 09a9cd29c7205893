// The SDL2 window of varnel-play: shows the latest picture with a line of text over it and the
// timeline of the opened range under it, and turns keys and clicks into controls.
#pragma once

#include <string>
#include <vector>

#include "font.h"
#include "picture.h"

struct SDL_Window;
struct SDL_Renderer;
struct SDL_Texture;

namespace play {

enum class Key {
    TogglePause,
    Faster,
    Slower,
    Reverse,
    Forward,
    StepForward,
    StepBack,
    Seek,  // a place on the timeline: clicked or dragged to, or its ends by Home and End
    Quit
};

struct Command {
    Key key;
    double at = 0;  // Seek: the place, 0 the start of the range to 1 its end
};

// What the window shows besides the picture. Places are fractions of the range, 0 to 1.
struct Overlay {
    std::string line;                 // over the picture's top left: time, speed, direction
    double position = -1;             // the picture on screen; below 0 no timeline
    double heldFrom = 0, heldTo = 0;  // what the library holds

    bool operator==(const Overlay&) const = default;
};

class Window {
public:
    // True when an X11 or Wayland display is named in the environment.
    static bool DisplayAvailable();

    Window() = default;
    ~Window();
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    bool Open(std::string& error);
    // Takes the picture to show, fitting the window to it and the timeline (within the
    // screen) when its size changes. Shown by the next Draw.
    void Show(const Picture& picture);
    // Shown by the next Draw when it differs from what is shown.
    void SetOverlay(const Overlay& overlay);
    // Draws the window again when anything shown has changed since the last time.
    void Draw();
    void SetTitle(const std::string& title);
    std::vector<Command> Poll();

private:
    // A few lines of text drawn into a texture of their own, so that the picture's texture
    // stays as the library delivered it and only the changed text is uploaded.
    class Text {
    public:
        Text() = default;
        ~Text() { Release(); }
        Text(const Text&) = delete;
        Text& operator=(const Text&) = delete;
        // Before the renderer goes: the texture is its.
        void Release();
        // Draws lines (separated by '\n') when they differ from the last ones.
        void Set(SDL_Renderer* renderer, const std::string& lines, int scale);
        void Render(SDL_Renderer* renderer, int x, int y) const;
        int Width() const { return m_width; }
        int Height() const { return m_height; }

    private:
        Picture m_canvas;  // allocated once at the largest size, reused for every line
        SDL_Texture* m_texture = nullptr;
        std::string m_lines;
        int m_scale = 0, m_width = 0, m_height = 0;
    };

    void Render();
    double PlaceAt(int x) const;  // of a window x on the timeline, 0 to 1

    SDL_Window* m_window = nullptr;
    SDL_Renderer* m_renderer = nullptr;
    SDL_Texture* m_texture = nullptr;
    int m_width = 0, m_height = 0;  // of the texture
    bool m_video = false;           // this window started SDL's video subsystem
    bool m_dirty = false;
    bool m_help = false;
    bool m_dragging = false;
    double m_dragAt = 0;
    std::string m_title;
    Overlay m_overlay;
    Text m_line, m_keys;
};

}  // namespace play
