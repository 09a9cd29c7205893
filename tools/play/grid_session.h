// varnel-play --channels: several channels of one recorder through the media element.
#pragma once

#include "options.h"

namespace play {

int RunGridSession(const Options& options);

}  // namespace play
