// One run of varnel-play: plays, shows, writes, reports; returns the exit code.
#pragma once

#include "options.h"

namespace play {

int RunSession(const Options& options);

}  // namespace play
