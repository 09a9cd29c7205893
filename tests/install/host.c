#include <stdio.h>
#include <string.h>
#include <varnel/varnel.h>

int main(void) {
    const char* v = varnel_version();
    varnel_set_trace_sink(NULL, NULL);
    if (v == NULL || strlen(v) == 0) return 1;
    /* The wave output links from C with the installed header alone; closed, it plays nothing. */
    CQWaveOut* wave = CQWaveOut_Create();
    uint32_t size = 7;
    if (wave == NULL || CQWaveOut_GetVolume(wave) != 0 || CQWaveOut_QueuedBlocks(wave) != 0 ||
        CQWaveOut_loadAudioBlock("/nonexistent/varnel.pcm", &size) != NULL || size != 7)
        return 1;
    CQWaveOut_Close(wave);
    CQWaveOut_Destroy(wave);
    printf("varnel %s\n", v);
    return 0;
}
