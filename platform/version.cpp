#include "varnel/varnel.h"

extern "C" const char* varnel_version(void) {
    return VARNEL_VERSION;
}
