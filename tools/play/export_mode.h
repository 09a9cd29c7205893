// varnel-play --export: the range written to a file any player opens, instead of played.
#pragma once

#include "options.h"

namespace play {

// Exports the range of the options to o.exportPath (one file a channel with --channels),
// showing a progress line and then a summary. Returns an exit code.
int RunExport(const Options& o);

}  // namespace play
