// SDL is process-wide: the first engine starts it, the last one shuts it down.
#pragma once

namespace engine {

// Starts SDL for one more engine; true when its audio subsystem is available.
bool SdlAcquire();
void SdlRelease();

}  // namespace engine
