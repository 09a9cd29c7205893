#pragma once

namespace platform {

// Stands for a message box followed by ending the process with exit code 1: the start-up
// failures that lead here leave the library unusable.
[[noreturn]] void FatalMessage(const char* text, const char* caption);

}  // namespace platform
