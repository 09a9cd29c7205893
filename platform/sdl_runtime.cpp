#include "platform/sdl_runtime.h"

#include <SDL.h>

#include <cstdio>
#include <mutex>

#include "platform/fatal.h"
#include "platform/trace.h"

namespace platform {
namespace {

std::mutex& Lock() {
    static std::mutex lock;
    return lock;
}
int g_users = 0;
bool g_audio = false;

}  // namespace

bool SdlAcquire() {
    std::lock_guard<std::mutex> guard(Lock());
    if (g_users++ > 0) return g_audio;
    // No user shows a window, so SDL's video subsystem is not started: it would refuse to
    // start on a machine without a display and end the process for nothing.
    if (SDL_Init(SDL_INIT_TIMER) < 0) FatalMessage("Could not initialize SDL ", "Fail");
    // A machine without a sound device still plays pictures: audio is left out instead.
    g_audio = SDL_InitSubSystem(SDL_INIT_AUDIO) == 0;
    if (!g_audio) {
        std::fprintf(stderr, "SDL audio unavailable: %s\n", SDL_GetError());
        TraceF("SDL audio unavailable: %s\r\n", SDL_GetError());
    }
    return g_audio;
}

void SdlRelease() {
    std::lock_guard<std::mutex> guard(Lock());
    if (g_users == 0 || --g_users > 0) return;
    SDL_Quit();
    g_audio = false;
}

}  // namespace platform
