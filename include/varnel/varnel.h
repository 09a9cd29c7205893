/* varnel: playback of recordings stored on a networked video recorder.
 *
 * The one public header. Records shared with the host are plain C structs with natural
 * alignment; the static assertions at the end pin their layout. On a 32-bit build the offsets
 * are the recorder protocol's own; on 64-bit only pointer members (and what follows them) move,
 * as documented beside each record. */
#ifndef VARNEL_VARNEL_H
#define VARNEL_VARNEL_H

#include <stdbool.h>
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
    int32_t kind;           /*  0 */
    char codec[8];          /*  4 "h264" or "hevc", NUL-terminated */
    int32_t reserved0;      /* 12 padding, carried unchanged */
    int64_t frameTime;      /* 16 */
    int32_t duration;       /* 24 ms */
    int32_t audioTime;      /* 28 */
    int32_t length;         /* 32 payload bytes after the header */
    int32_t keyFrame;       /* 36 1 = first frame of a group of pictures */
    int32_t unknown[5];     /* 40 not interpreted, carried unchanged */
    int32_t orientation;    /* 60 0 rewind, 1 forward */
    int32_t channel;        /* 64 */
    int32_t reserved1;      /* 68 padding, carried unchanged */
    int64_t payloadPos;     /* 72 file position of the first payload byte */
    char filePath[256];     /* 80 group file holding the payload */
    int32_t groupDuration;  /* 336 on a key frame: play time of its group in ms */
    unsigned char* payload; /* heap copy of the payload until it is written to its file */
    char timeText[256];     /* "YYYY/MM/DD hh:mm:ss.mmm" */
} frameheader1;

/* ---- Remote playback object ------------------------------------------------------------ */

/* Handles returned by the create functions. A CVarnel1 is a CQFFmpegPlayer with the
 * recorder's URL building on top; neither is ever dereferenced by the host. */
typedef struct CVarnel1 CVarnel1;
typedef struct CQFFmpegPlayer CQFFmpegPlayer;

/* Engine states reported to the frame callback. */
#define VARNEL_STATE_OPENED 1
#define VARNEL_STATE_PLAYING 2
#define VARNEL_STATE_PAUSED 3
#define VARNEL_STATE_CLOSED 4

/* Feed states of a stream source (PlayDataStates), reported to the end callback. */
#define VARNEL_FEED_NONE 0
#define VARNEL_FEED_OPENED 1
#define VARNEL_FEED_DATA 2
#define VARNEL_FEED_ENDED 3
#define VARNEL_FEED_END_MARK 101

/* A picture handed to the frame callback; it and its pixels are valid only during the call.
 * Offsets: 32-bit Width 0, Height 4, Pixels 8, reserved 12, FrameTime 16, LastFrameTime 24,
 * Source 32, size 36; 64-bit the same except that Pixels fills 8..15 (no reserved word) and
 * the size is 40. FrameTime and Source are written only for pictures that carry a frame
 * record; otherwise the callback's position argument carries the picture's time. */
typedef struct FrameInfo {
    int32_t Width;
    int32_t Height;
    unsigned char* Pixels; /* 24-bit BGR, rows top to bottom, 3 * Width bytes a row, no padding */
#if UINTPTR_MAX == 0xFFFFFFFFu
    int32_t Reserved; /* not written */
#endif
    int64_t FrameTime;     /* recorder time of the picture's frame, 100 ns units from year 1 */
    int64_t LastFrameTime; /* latest indexed frame time of the main source, -1 when none */
    int32_t Source;        /* 0 main source, 1 FOS source */
} FrameInfo;

/* Frame callback: (0, engine state, position in seconds, picture or NULL). Called on the
 * engine's play thread: with a picture for every presented frame, with NULL after every pause
 * toggle and with state 4 when the engine has closed (unless a waiting close is under way).
 * The one exception: a CVarnel1_Close(player, false) made when no stream runs reports state 4
 * from inside that call, on the host's thread. What the playback calls do when made from
 * inside a callback is said at CVarnel1_Create below. */
typedef void (*varnel_frame_callback)(int32_t zero, int32_t state, double position,
                                      FrameInfo* frame);
/* End callback: (0, feed state of the main source, 0), once, on the engine's reader thread,
 * after the last picture of both streams has been presented. */
typedef void (*varnel_end_callback)(int32_t zero, int32_t feedState, int32_t zero2);

/* A calendar time as the recorder's query takes it. */
typedef struct StreamSettingTime {
    int32_t Year;
    int32_t Month;
    int32_t Day;
    int32_t Hour;
    int32_t Minute;
    int32_t Second;
    int32_t Unused; /* not read */
} StreamSettingTime;

/* Open parameters of a playback object, read only during the open call. Every text must be
 * NUL-terminated inside its array; the built URL (or DirectURL) must stay below 500 bytes.
 * Offsets as in the comments (32-bit); on 64-bit FrameCallback moves to 2152, EndCallback to
 * 2160 and the size becomes 2168. */
typedef struct StreamSetting {
    int32_t FosID;               /*    0 */
    char IP[256];                /*    4 recorder address */
    int32_t Port;                /*  260 recorder HTTP port */
    int32_t Key;                 /*  264 */
    int32_t SubKey;              /*  268 */
    int32_t Resolution;          /*  272 */
    StreamSettingTime BeginTime; /* 276 */
    StreamSettingTime EndTime;   /*  304 */
    int32_t OnFile;              /*  332 non-zero: the whole feed in one indexed working file */
    int32_t AutoRepeat;          /*  336 non-zero: on-file reading wraps around */
    char SaveFolder[1024];       /*  340 folder for working files (must exist) */
    char DirectURL[512];         /* 1364 when not empty: used as the URL, nothing is built */
    char WriteFileName[256];     /* 1876 name of the on-file working file */
    int32_t Speed;               /* 2132 exponent: plays at 2 to this power */
    int32_t Orientation;         /* 2136 1 forward, anything else rewind */
    int32_t IsOnlyKeyFrame;      /* 2140 */
    int32_t NoAudio;             /* 2144 */
    varnel_frame_callback FrameCallback; /* 2148 */
    varnel_end_callback EndCallback;     /* 2152 */
} StreamSetting;

/* Calling order: Create, Open1 or OpenFOS, any control calls, Close (wait true before
 * Destory), Destory. The open calls return true even when nothing can be played: failures
 * show in the callbacks and traces (a recorder that does not accept the connection within
 * 10 s, or does not answer the request within 10 s, ends the feed with state 3). None of
 * these check the handle except Close and Destory.
 *
 * From inside the frame or end callback every call may be made, and none of them waits for
 * the callback's own thread:
 *   Open1, OpenFOS   stop the running stream without waiting and open the new one once the
 *                    callback has returned and the old stream has closed (state 4 is reported
 *                    for the old stream first). Re-opening from the end callback plays again.
 *   Close            acts as Close(player, false), whatever wait says.
 *   Destory          stops without waiting and frees the object once the callback has
 *                    returned; no callback comes after it, and the handle must not be used
 *                    again.
 *   Play, Pause, SetPos, SetSpeed_Orientation   act as from any other thread.
 * A Close from a host thread cancels an open asked for from a callback that has not started
 * yet. */
VARNEL_API CVarnel1* CVarnel1_Create(uint32_t unused, int32_t id);
VARNEL_API bool CVarnel1_Open1(CVarnel1* player, const StreamSetting* setting);
/* Two synchronised streams; fos may be NULL (the main stream plays alone). */
VARNEL_API bool CVarnel1_OpenFOS(CVarnel1* player, const StreamSetting* main,
                                 const StreamSetting* fos);
/* Toggles pause (Play on a running stream pauses it); the reported state becomes playing. */
VARNEL_API bool CVarnel1_Play(CVarnel1* player);
/* Pauses a playing stream; does nothing otherwise. */
VARNEL_API bool CVarnel1_Pause(CVarnel1* player);
/* Moves within the recorded index of the on-file mode, in percent. */
VARNEL_API bool CVarnel1_SetPos(CVarnel1* player, int32_t percent);
/* New speed exponent and direction; apply true sends the change to the recorder at once. */
VARNEL_API bool CVarnel1_SetSpeed_Orientation(CVarnel1* player, int32_t speed, int32_t orientation,
                                              bool apply, bool noAudio);
/* Stops playback; wait true returns once every engine thread has ended and then reports no
 * state 4, wait false returns at once and state 4 follows through the frame callback. */
VARNEL_API void CVarnel1_Close(CVarnel1* player, bool wait);
VARNEL_API void CVarnel1_Destory(CVarnel1* player);

/* The bare engine. CQFFmpegPlayer_Open takes the location as a C string (the engine's own
 * interface takes a string object by value, which a C header cannot express). Stop and
 * Destory complete the set so that a host can release an engine it created. */
VARNEL_API CQFFmpegPlayer* CQFFmpegPlayer_Create(void);
VARNEL_API bool CQFFmpegPlayer_Open(CQFFmpegPlayer* player, const char* location);
VARNEL_API bool CQFFmpegPlayer_Play(CQFFmpegPlayer* player);
VARNEL_API bool CQFFmpegPlayer_Pause(CQFFmpegPlayer* player);
VARNEL_API void CQFFmpegPlayer_Stop(CQFFmpegPlayer* player, bool wait);
VARNEL_API void CQFFmpegPlayer_Destory(CQFFmpegPlayer* player);

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

VARNEL_STATIC_ASSERT(offsetof(FrameInfo, Pixels) == 8, "Pixels");
VARNEL_STATIC_ASSERT(offsetof(FrameInfo, FrameTime) == 16, "FrameTime");
VARNEL_STATIC_ASSERT(offsetof(FrameInfo, LastFrameTime) == 24, "LastFrameTime");
VARNEL_STATIC_ASSERT(offsetof(FrameInfo, Source) == 32, "Source");
VARNEL_STATIC_ASSERT(sizeof(FrameInfo) == (VARNEL_PTR64 ? 40 : 36), "FrameInfo size");

VARNEL_STATIC_ASSERT(sizeof(StreamSettingTime) == 28, "StreamSettingTime size");
VARNEL_STATIC_ASSERT(offsetof(StreamSetting, IP) == 4, "IP");
VARNEL_STATIC_ASSERT(offsetof(StreamSetting, Port) == 260, "Port");
VARNEL_STATIC_ASSERT(offsetof(StreamSetting, Key) == 264, "Key");
VARNEL_STATIC_ASSERT(offsetof(StreamSetting, Resolution) == 272, "Resolution");
VARNEL_STATIC_ASSERT(offsetof(StreamSetting, BeginTime) == 276, "BeginTime");
VARNEL_STATIC_ASSERT(offsetof(StreamSetting, EndTime) == 304, "EndTime");
VARNEL_STATIC_ASSERT(offsetof(StreamSetting, OnFile) == 332, "OnFile");
VARNEL_STATIC_ASSERT(offsetof(StreamSetting, AutoRepeat) == 336, "AutoRepeat");
VARNEL_STATIC_ASSERT(offsetof(StreamSetting, SaveFolder) == 340, "SaveFolder");
VARNEL_STATIC_ASSERT(offsetof(StreamSetting, DirectURL) == 1364, "DirectURL");
VARNEL_STATIC_ASSERT(offsetof(StreamSetting, WriteFileName) == 1876, "WriteFileName");
VARNEL_STATIC_ASSERT(offsetof(StreamSetting, Speed) == 2132, "Speed");
VARNEL_STATIC_ASSERT(offsetof(StreamSetting, Orientation) == 2136, "Orientation");
VARNEL_STATIC_ASSERT(offsetof(StreamSetting, IsOnlyKeyFrame) == 2140, "IsOnlyKeyFrame");
VARNEL_STATIC_ASSERT(offsetof(StreamSetting, NoAudio) == 2144, "NoAudio");
VARNEL_STATIC_ASSERT(offsetof(StreamSetting, FrameCallback) == (VARNEL_PTR64 ? 2152 : 2148),
                     "FrameCallback");
VARNEL_STATIC_ASSERT(offsetof(StreamSetting, EndCallback) == (VARNEL_PTR64 ? 2160 : 2152),
                     "EndCallback");
VARNEL_STATIC_ASSERT(sizeof(StreamSetting) == (VARNEL_PTR64 ? 2168 : 2156), "StreamSetting size");

#endif /* VARNEL_VARNEL_H */
