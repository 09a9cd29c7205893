/* varnel: playback of recordings stored on a networked video recorder.
 *
 * The one public header. Records shared with the host are plain C structs with natural
 * alignment; the static assertions at the end pin their layout. On a 32-bit build the offsets
 * are the recorder protocol's own; on 64-bit only pointer members (and what follows them) move,
 * as documented beside each record. */
#ifndef VARNEL_VARNEL_H
#define VARNEL_VARNEL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VARNEL_API __attribute__((visibility("default")))

/* ---- Library ------------------------------------------------------------------------- */

/* Version text of the library, for example "0.1.0". */
VARNEL_API const char* varnel_version(void);

/* Receives every trace line as the library sends it, "\r\n" included. May be called from any
 * of the library's threads at once, so it must be thread-safe; a slow sink slows only the
 * thread whose line it is handling. */
typedef void (*varnel_trace_sink)(const char* line, void* user);

/* Installs the trace sink (NULL removes it; traces are then discarded). */
VARNEL_API void varnel_set_trace_sink(varnel_trace_sink sink, void* user);

/* ---- Speed and direction ---------------------------------------------------------------- */

/* Direction of playback and of the recorder's sending: 1 forward; the library treats any other
 * value as rewind. */
typedef enum MediaElementOrientations {
    MediaElementOrientations_Rewind = 0,
    MediaElementOrientations_Forward = 1
} MediaElementOrientations;

/* Signed speed exponent: playback runs at 2 raised to this power (-1 half speed, 2 four times). */
typedef int32_t MediaElementSpeeds;

/* ---- Frame records --------------------------------------------------------------------- */

/* Frame record kinds. */
#define VARNEL_KIND_VIDEO 1
#define VARNEL_KIND_AUDIO 2
#define VARNEL_KIND_END_101 129 /* end mark leaving feed state 101 */
#define VARNEL_KIND_END_3 255   /* end mark leaving feed state 3 */

/* Size of a frame record header on the wire and in group files. */
#define VARNEL_FRAME_HEADER_SIZE 72
/* Size of the short header form in a file (no padding, no orientation, no channel). */
#define VARNEL_SHORT_HEADER_SIZE 56

/* One frame record: the 72 header bytes exactly as received (all little-endian), followed by
 * where the payload is stored. frameTime counts 100 ns units from 0001-01-01 00:00:00.
 * Offsets: 32-bit payloadPos 72, filePath 80, groupDuration 336, payload 340, timeText 344,
 * size 600; 64-bit the same up to groupDuration, then payload 344, timeText 352, size 608. */
typedef struct frameheader1 {
    int32_t kind;         /*  0 */
    char codec[8];        /*  4 "h264" or "hevc", NUL-terminated */
    int32_t reserved0;    /* 12 padding, carried unchanged */
    int64_t frameTime;    /* 16 */
    int32_t duration;     /* 24 ms */
    int32_t audioTime;    /* 28 */
    int32_t length;       /* 32 payload bytes after the header */
    int32_t keyFrame;     /* 36 1 = first frame of a group of pictures */
    int32_t unknown[5];   /* 40 not interpreted, carried unchanged */
    int32_t orientation;  /* 60 0 rewind, 1 forward */
    int32_t channel;      /* 64 */
    int32_t reserved1;    /* 68 padding, carried unchanged */
    int64_t payloadPos;   /* 72 file position of the first payload byte */
    char filePath[256];   /* 80 group file holding the payload */
    int32_t groupDuration; /* 336 on a key frame: play time of its group in ms */
    unsigned char* payload; /* heap copy of the payload until it is written to its file */
    char timeText[256];   /* "YYYY/MM/DD hh:mm:ss.mmm" */
} frameheader1;

#ifdef __cplusplus
} /* extern "C" */
#endif

/* ---- Layout checks --------------------------------------------------------------------- */
#ifdef __cplusplus
#define VARNEL_STATIC_ASSERT static_assert
#else
#define VARNEL_STATIC_ASSERT _Static_assert
#endif
#define VARNEL_PTR64 (sizeof(void*) == 8)

VARNEL_STATIC_ASSERT(sizeof(MediaElementOrientations) == 4, "orientation size");
VARNEL_STATIC_ASSERT(offsetof(frameheader1, codec) == 4, "codec");
VARNEL_STATIC_ASSERT(offsetof(frameheader1, frameTime) == 16, "frameTime");
VARNEL_STATIC_ASSERT(offsetof(frameheader1, duration) == 24, "duration");
VARNEL_STATIC_ASSERT(offsetof(frameheader1, length) == 32, "length");
VARNEL_STATIC_ASSERT(offsetof(frameheader1, keyFrame) == 36, "keyFrame");
VARNEL_STATIC_ASSERT(offsetof(frameheader1, orientation) == 60, "orientation");
VARNEL_STATIC_ASSERT(offsetof(frameheader1, channel) == 64, "channel");
VARNEL_STATIC_ASSERT(offsetof(frameheader1, payloadPos) == 72, "payloadPos");
VARNEL_STATIC_ASSERT(offsetof(frameheader1, filePath) == 80, "filePath");
VARNEL_STATIC_ASSERT(offsetof(frameheader1, groupDuration) == 336, "groupDuration");
VARNEL_STATIC_ASSERT(offsetof(frameheader1, payload) == (VARNEL_PTR64 ? 344 : 340), "payload");
VARNEL_STATIC_ASSERT(offsetof(frameheader1, timeText) == (VARNEL_PTR64 ? 352 : 344), "timeText");
VARNEL_STATIC_ASSERT(sizeof(frameheader1) == (VARNEL_PTR64 ? 608 : 600), "frameheader1 size");

#endif /* VARNEL_VARNEL_H */
