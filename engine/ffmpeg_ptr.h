// The engine's FFmpeg handles are the project's shared ones, named as the engine's own.
#pragma once

#include "foundation/ffmpeg_ptr.h"

namespace engine {
using namespace ffmpeg;
}  // namespace engine
