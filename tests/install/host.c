#include <stdio.h>
#include <string.h>
#include <varnel/varnel.h>

int main(void) {
    const char* v = varnel_version();
    varnel_set_trace_sink(NULL, NULL);
    if (v == NULL || strlen(v) == 0) return 1;
    printf("varnel %s\n", v);
    return 0;
}
