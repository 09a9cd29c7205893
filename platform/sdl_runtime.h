// SDL is process-wide: the first user (an engine or a wave output device) starts it, the last
// one shuts it down. SDL_Quit ends every subsystem at once, so all users must count here.
#pragma once

namespace platform {

// Starts SDL for one more user; true when its audio subsystem is available.
bool SdlAcquire();
void SdlRelease();

}  // namespace platform
