#include <stdio.h>
#include <varnel/varnel.h>

int main(void) {
    const char* v = varnel_version();
    varnel_set_trace_sink(NULL, NULL);
    int major = -1, minor = -1, patch = -1;
    /* The wave output links from C with the installed header alone; closed, it plays nothing. */
    CQWaveOut* wave = CQWaveOut_Create();
    uint32_t size = 7;
    /* First: the running library's version text and the header's documented number agree. */
    if (v == NULL || sscanf(v, "%d.%d.%d", &major, &minor, &patch) != 3 ||
        VARNEL_VERSION_NUMBER != (major << 16 | minor << 8 | patch) || wave == NULL ||
        CQWaveOut_GetVolume(wave) != 0 || CQWaveOut_QueuedBlocks(wave) != 0 ||
        CQWaveOut_loadAudioBlock("/nonexistent/varnel.pcm", &size) != NULL || size != 7)
        return 1;
    CQWaveOut_Close(wave);
    CQWaveOut_Destroy(wave);
    printf("varnel %s\n", v);
    return 0;
}
