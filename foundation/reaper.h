// Frees objects that cannot free themselves where they are asked to: an engine destroyed from
// inside one of its own callbacks runs on a thread that the engine's teardown must join. The
// reaper's thread runs each release job (which waits for those threads and deletes the
// object) once the callback has returned.
#pragma once

#include <functional>

namespace foundation {

// Queues a release job for the process's reaper thread, which is started on first use and
// joined when the process ends (after running what is still queued). Jobs run one at a time,
// in the order given; a job must not hand another job and wait for it.
void ReleaseLater(std::function<void()> job);

}  // namespace foundation
