#include "platform/fatal.h"

#include <cstdio>
#include <cstdlib>

namespace platform {

void FatalMessage(const char* text, const char* caption) {
    std::fprintf(stderr, "%s: %s\n", caption ? caption : "", text ? text : "");
    std::fflush(stderr);
    std::exit(1);
}

}  // namespace platform
