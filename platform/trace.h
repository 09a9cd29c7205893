// Debug output: the library's status lines go to the host's trace sink, if any.
#pragma once

namespace platform {

// Passes one line, exactly as given, to the installed trace sink; discarded without one.
void OutputDebugStringA(const char* text);
// printf-style convenience for the frequent sprintf + OutputDebugStringA pair.
void TraceF(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace platform
