#include "varnel/varnel.h"

// Made from the header's macros, so that the text can never differ from what a host compiled
// against this header sees.
#define VARNEL_TEXT(x) #x
#define VARNEL_NUMBER_TEXT(x) VARNEL_TEXT(x)

extern "C" const char* varnel_version(void) {
    return VARNEL_NUMBER_TEXT(VARNEL_VERSION_MAJOR) "." VARNEL_NUMBER_TEXT(
        VARNEL_VERSION_MINOR) "." VARNEL_NUMBER_TEXT(VARNEL_VERSION_PATCH);
}
