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

/* The version of this header, the one place it is written: CMake reads these three lines
 * for the project version (and with it the package versions), and varnel_version() returns
 * them as text, so a build and a running library can never name different versions. The
 * minor number grows with every addition to this interface, the major number with every
 * change that breaks a host built before it (the SONAME libvarnel.so.MAJOR changes with it).
 * docs/api-changes.md lists what each version added. */
#define VARNEL_VERSION_MAJOR 0
#define VARNEL_VERSION_MINOR 3
#define VARNEL_VERSION_PATCH 0
/* One number to compare at build time: (major << 16) | (minor << 8) | patch, for example
 * #if VARNEL_VERSION_NUMBER >= VARNEL_MAKE_VERSION(0, 2, 0). */
#define VARNEL_MAKE_VERSION(major, minor, patch) (((major) << 16) | ((minor) << 8) | (patch))
#define VARNEL_VERSION_NUMBER \
    VARNEL_MAKE_VERSION(VARNEL_VERSION_MAJOR, VARNEL_VERSION_MINOR, VARNEL_VERSION_PATCH)

/* Version text of the library that is running, "MAJOR.MINOR.PATCH", for example "0.2.0":
 * compare it with the macros above to find a host that runs on another library than the one
 * it was built with. */
VARNEL_API const char* varnel_version(void);

/* Receives every trace line as the library sends it, "\r\n" included. May be called from any
 * of the library's threads at once, so it must be thread-safe; a slow sink slows only the
 * thread whose line it is handling. */
typedef void (*varnel_trace_sink)(const char* line, void* user);

/* Installs the trace sink (NULL removes it; traces are then discarded). When it returns, no
 * call into the sink it replaced is under way any more (unless it is called from inside that
 * sink), so a host may free what that sink used: a host ending with a player destroyed from
 * its own callback, still stopping on a library thread, removes its sink before closing its
 * log. It waits for those calls: not to be called while holding a lock the sink takes. */
VARNEL_API void varnel_set_trace_sink(varnel_trace_sink sink, void* user);

/* No trace of the library holds a password: an address with an account shows it as
 * "alice:***@". This is the same hiding for the host's own output: copies url into out (size
 * bytes, NUL-terminated, cut to fit) with the password of its account, exactly the text the
 * library would send as the password, shown as "***"; a url without one is copied as it is.
 * Returns the length of the whole result without the NUL (a result of size or more was cut).
 * url NULL is taken as ""; out may be NULL when size is 0. Any thread. */
VARNEL_API size_t varnel_hide_password(const char* url, char* out, size_t size);

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
/* How a rewind is shown (the mode stays with the object, across opens):
 *   VARNEL_REVERSE_GROUPS  each group of pictures as the recorder sends it, forward, latest
 *                          group first (the default);
 *   VARNEL_REVERSE_SMOOTH  every picture in falling time, spaced by the frame durations divided
 *                          by the speed factor. Each group is decoded forward and its pictures
 *                          are held, as decoded, until they are shown: at most 200 MiB a source
 *                          (64 pictures of 1080p). A longer group is decoded again in segments.
 *                          A change of direction (CVarnel1_SetSpeed_Orientation, apply true)
 *                          turns at the picture last shown: the next picture shown is its
 *                          neighbour.
 * In either look a change of direction with apply true turns at the picture last shown and
 * goes on from there through the rest of the range: the groups held here first, then what the
 * recorder sends; after the recorder has ended the feed (it does at the range's edge) the rest
 * is asked for with a new request.
 * Takes effect with the next picture decoded. False, and nothing changes, for another value.
 * May be called from inside a callback. */
#define VARNEL_REVERSE_GROUPS 0
#define VARNEL_REVERSE_SMOOTH 1
VARNEL_API bool CVarnel1_SetReverseMode(CVarnel1* player, int32_t mode);
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

/* ---- Media element ----------------------------------------------------------------------- */

/* A media element plays one request covering several channels of a recorder at once on one
 * media time line: a 1 ms media clock moves it at the speed and in the direction of play, and
 * every channel shows each picture when the time line reaches the picture's frame time, so the
 * channels stay in step (a late picture is shown late and moves nothing else). A stretch of
 * more than a second with no picture in any channel (a hole in the recording) is jumped over.
 * Per channel the element holds at most 50 access units (16 MiB) and 6 decoded pictures (while a
 * frame step waits for a channel with nothing queued, up to four times as many access units);
 * what the recorder sends beyond that waits in the working files. The handle is never dereferenced
 * by the host. */
typedef struct CQMediaElement CQMediaElement;

/* Channel status in channelstate. */
#define VARNEL_CHANNEL_NONE 0      /* nothing reported yet since the open */
#define VARNEL_CHANNEL_PRESENTED 1 /* a picture was just presented */
#define VARNEL_CHANNEL_WAITING 2   /* the channel's next picture is not due yet */

/* A decoded picture handed to the element callback; it and its pixels are freed as soon as
 * the callback returns, so the host copies what it needs. 64 bytes, the same offsets on 32-
 * and 64-bit (on 64-bit Pixels fills 8..15 and there is no reserved word at 12). */
typedef struct pictureframe {
    int32_t width;  /*  0 */
    int32_t height; /*  4 */
    unsigned char*
        pixels; /*  8 24-bit BGR, rows top to bottom, 3 * width bytes a row, no padding */
#if UINTPTR_MAX == 0xFFFFFFFFu
    int32_t reserved0; /* 12 zero */
#endif
    int64_t frameTime;     /* 16 recorder time of the frame, 100 ns units from year 1 */
    int64_t lastFrameTime; /* 24 latest frame time the source has indexed, -1 when none */
    int32_t reserved1;     /* 32 zero */
    int32_t channel;       /* 36 channel of the picture */
    int32_t duration;      /* 40 the frame's duration from its record, ms (a key frame standing
                                 for its group in key-frame-only playback: the group's) */
    int32_t reserved2;     /* 44 zero */
    double pts;            /* 48 ms from the element's base time: the earliest frame time read
                                 forward, the latest in rewind; pictures of all channels share it */
    int64_t reserved3;     /* 56 zero */
} pictureframe;

/* A channel's state handed to the element callback beside (or instead of) a picture. */
typedef struct channelstate {
    int32_t channel; /* 0 */
    int32_t status;  /* 4 VARNEL_CHANNEL_* */
} channelstate;

/* Element callback: (0, element state, 0.0, picture or NULL, channel state or NULL).
 * - (0, 2, 0.0, picture, state with status 1): a picture of state->channel is presented now.
 * - (0, 2, 0.0, picture, state with status 2): once after the open or a re-seek, the channel's
 *   first picture is not due yet; the picture stays queued and comes again with status 1.
 * - (0, 2, 0.0, NULL, state with status 2): once, with two channels or more, the channel's next
 *   picture lies more than 30 s ahead (a hole in its recording), or, after the open or a
 *   re-seek, the channel has nothing at all while the others play (a camera that recorded
 *   nothing there).
 * - (0, 3, 0.0, NULL, NULL): CQMediaElement_Pause was called (also by a frame step taken
 *   while playing).
 * Threads: pictures and channel states come on the element's clock thread, one call at a
 * time, with the element's picture lock held, so a slow callback holds back every channel
 * (the decoders wait for it). The pause report comes on the thread that called Pause.
 * Calls from inside the callback: every control call may be made. CQMediaElement_Close
 * returns at once there: the element finishes closing on the clock thread as soon as the
 * callback returns, and no callback follows. CQMediaElement_Destroy there (with or without
 * Close before it) closes the element the same way and frees it when the callback returns;
 * that takes as long as a Close, so a host that ends the process right after must allow for
 * it (the element's last trace is its stream source's "CQHttpClient::~CQHttpClient(void)--").
 * CQMediaElement_Open there is refused (with a trace): it would have to wait for the very
 * callback it is called from. After a Close, wherever it was called, no call but Open changes
 * anything: a Play or Pause racing with it is ignored. */
typedef void (*ElementFrameCallback)(int32_t zero, int32_t state, double zero2,
                                     pictureframe* picture, channelstate* channel);

/* Open parameters of a media element: the media element's own StreamSetting, named apart from
 * the playback object's record above (C has one name space for both). Read only during
 * CQMediaElement_Open, channel list included; texts must be NUL-terminated in their arrays.
 * Offsets as in the comments (32-bit); on 64-bit the channel list moves to 272 and everything
 * after it by 8 (SubKey 280, beginTime 288, fileMode 344, saveFolder 352, fileName 1888,
 * orientation 2148, callback 2160), and the size becomes 2176. */
typedef struct MediaElementStreamSetting {
    int32_t FosID;                 /*    0 */
    char host[256];                /*    4 recorder address as dotted IPv4 text (no names) */
    int32_t port;                  /*  260 recorder HTTP port */
    int32_t channelCount;          /*  264 channels in the list; 1 or more selects "_All" */
    const int32_t* channels;       /*  268 the channel numbers, in the order of the request */
    int32_t SubKey;                /*  272 */
    int32_t Resolution;            /*  276 */
    StreamSettingTime beginTime;   /*  280 its last field (milliseconds) is not sent */
    StreamSettingTime endTime;     /*  308 */
    int32_t fileMode;              /*  336 non-zero: the feed goes to one indexed working file and
                                               plays from it; exactly 1 also enables SetPos and Seek */
    int32_t loopFile;              /*  340 non-zero: file-mode reading wraps around */
    char saveFolder[1536];         /*  344 folder for working files (must exist) */
    char fileName[260];            /* 1880 name of the file-mode working file */
    int32_t orientation;           /* 2140 of the request: 1 forward, anything else rewind */
    int32_t onlyKeyFrame;          /* 2144 1: the recorder sends key frames only */
    int32_t noAudio;               /* 2148 1: the recorder sends no sound */
    ElementFrameCallback callback; /* 2152 may be NULL */
    int32_t unused;                /* 2156 not read */
} MediaElementStreamSetting;

/* Calling order: Create, Open, any control calls, Close, then Open again or Destroy. Every
 * function returns true (failures show as pictures that do not come, and in the traces), but
 * false for a NULL element or record; Close and Destroy accept NULL. Control calls may come
 * from any thread, also at the same time as a Close. */
VARNEL_API CQMediaElement* CQMediaElement_Create(void);
/* Requests the channels of the record from the recorder and starts playing (state 2, no Play
 * needed): forward, all frames, normal speed, whatever orientation and onlyKeyFrame asked of
 * the recorder. The time line starts at the earliest picture once every channel has a few
 * decoded, or half a second after the first came (channels that have none then play on when
 * theirs come). An element that is open is closed first. However many channels, the request
 * carries them all. */
VARNEL_API bool CQMediaElement_Open(CQMediaElement* element,
                                    const MediaElementStreamSetting* setting);
/* Resumes after a pause or frame steps (state 2). */
VARNEL_API bool CQMediaElement_Play(CQMediaElement* element);
/* Holds the clock and reports state 3 through the callback, on the calling thread. */
VARNEL_API bool CQMediaElement_Pause(CQMediaElement* element);
/* Forward at 2 to the power speed (speeds below -5 or above 5 are taken as -5 and 5). Speeds
 * 2 to 5 show key frames only, the others every frame; a change between the two drops what is
 * buffered and goes on right after the latest picture shown (every channel from there); a
 * change from rewind goes on from the picture each channel shows, through the rest of the
 * range (asking the recorder again when it has ended the feed, as it does at the range's
 * start). */
VARNEL_API bool CQMediaElement_Forward(CQMediaElement* element, MediaElementSpeeds speed);
/* Backward, key frames only, at 2 to the power speed (clamped as for Forward); from forward
 * it drops what is buffered and goes back from the picture each channel shows. In smooth
 * reverse mode at speed 0 or below: every picture backward, each channel on from the picture
 * it shows. Like Forward, it goes on through the rest of the range after the feed's end. */
VARNEL_API bool CQMediaElement_Rewind(CQMediaElement* element, MediaElementSpeeds speed);
/* Pause (reported) when playing, then exactly one picture per channel, forward; playback
 * stays paused, and the time line stands at the earliest of the pictures shown, so that Play
 * goes on from there with the channels in step. */
VARNEL_API bool CQMediaElement_FrameStep_Forward(CQMediaElement* element);
/* The same backward: one key frame per channel, going back; in smooth reverse mode one
 * picture, the one just before the picture each channel shows. */
VARNEL_API bool CQMediaElement_FrameStep_Rewind(CQMediaElement* element);
/* VARNEL_REVERSE_GROUPS (the default) or VARNEL_REVERSE_SMOOTH, as for the playback object:
 * in smooth mode Rewind at speed 0 or below and the backward frame step show every picture,
 * and a change of direction goes on from the picture each channel shows. The pictures held
 * for it share a bound of 200 MiB across the channels (at least 32 MiB a channel). False,
 * and nothing changes, for another value. May be called from inside the callback. */
VARNEL_API bool CQMediaElement_SetReverseMode(CQMediaElement* element, int32_t mode);
/* File mode exactly 1 only: continues from that percentage of the groups recorded so far (0 to
 * 100; groups that start together, key frames of several channels at once, are entered at the
 * first of them). */
VARNEL_API bool CQMediaElement_SetPos(CQMediaElement* element, int32_t percent);
/* File mode exactly 1 only: continues at once from the group that starts exactly at that
 * recorder time (calendar fields as in the record's times), dropping what is queued; nothing
 * happens when no group starts there. Not among the element's original exports: without it a
 * C host cannot reach the seek by time. */
VARNEL_API bool CQMediaElement_Seek(CQMediaElement* element, int32_t year, int32_t month,
                                    int32_t day, int32_t hour, int32_t minute, int32_t second,
                                    int32_t millisecond);
/* Stops playback: returns once the clock, reader and decoder threads have ended (a callback
 * in progress on another thread has returned) and the working files are deleted; no callback
 * comes after. From inside the callback, see ElementFrameCallback. */
VARNEL_API bool CQMediaElement_Close(CQMediaElement* element);
/* Frees the element, closing it first if it is open. Not among the element's original
 * exports: without it a host could never free an element. */
VARNEL_API void CQMediaElement_Destroy(CQMediaElement* element);

/* ---- Wave output ------------------------------------------------------------------------ */

/* A PCM sound format. Natural alignment: the same offsets on 32- and 64-bit, and the size is
 * 20 (two bytes of padding after cbSize; a byte-packed record of 18 bytes has the same offsets
 * for every field). */
typedef struct WAVEFORMATEX {
    uint16_t wFormatTag;      /*  0 1 = PCM, the only format played */
    uint16_t nChannels;       /*  2 1 or 2 */
    uint32_t nSamplesPerSec;  /*  4 sample frames per second, for example 8000 or 44100 */
    uint32_t nAvgBytesPerSec; /*  8 not read */
    uint16_t nBlockAlign;     /* 12 bytes per sample frame: nChannels * wBitsPerSample / 8 */
    uint16_t wBitsPerSample;  /* 14 8 (unsigned) or 16 (signed, little-endian) */
    uint16_t cbSize;          /* 16 not read */
} WAVEFORMATEX;

/* A wave output: one sound device on which blocks of samples are queued and played in order,
 * each freed by the library once it has been played (or dropped by CQWaveOut_Play). No engine
 * of the library opens one; hosts use it directly. The handle is never dereferenced by the
 * host.
 *
 * Threads: calls may come from any thread; each runs under the wave output's own lock, so
 * they take effect one at a time. CQWaveOut_writeAudioBlock waits without that lock: while it
 * waits, CQWaveOut_Play from another thread drops its block and it returns; CQWaveOut_Close is
 * refused while its block is still queued (as for any queued block) and otherwise closes and
 * ends the wait; CQWaveOut_Destroy drops its block and returns only once the waiting call has
 * returned, so no call ever reads a freed wave output. Played blocks are freed on the device's
 * own callback thread, which runs no host code: no call of the host can come from there.
 * Blocks queued with copy false must come from malloc, since they are released with free on
 * that thread.
 *
 * NULL: every function accepts a NULL handle and then does nothing; those returning bool
 * return false (CQWaveOut_Close true, as always), CQWaveOut_GetVolume and
 * CQWaveOut_QueuedBlocks 0, and CQWaveOut_WriteAudioBlock with copy false still frees data. */
typedef struct CQWaveOut CQWaveOut;

VARNEL_API CQWaveOut* CQWaveOut_Create(void);
/* Frees the wave output; an open one has its queued blocks dropped and its device closed
 * first, and a CQWaveOut_writeAudioBlock waiting on another thread has returned before it
 * returns. Accepts NULL. */
VARNEL_API void CQWaveOut_Destroy(CQWaveOut* wave);
/* Opens the default sound device with the format; returns true even when it fails (the trace
 * "waveOutOpen error\r\rn" tells, and blocks written afterwards are dropped). The format must
 * be PCM, 8 or 16 bits, one or two channels, with a matching nBlockAlign. A wave output that
 * is already open is closed first, its queued blocks dropped. The volume of a new device is
 * full on both channels, whatever the mute flag says. */
VARNEL_API bool CQWaveOut_Open(CQWaveOut* wave, WAVEFORMATEX format);
/* Queues length bytes behind the blocks already queued; they play once those have played.
 * copy true: the bytes are copied and data stays the caller's. copy false: the library takes
 * data (from malloc) and frees it when the block has played or has been dropped, and also at
 * once when it cannot be queued (wave output not open or NULL, negative length), so it never
 * leaks.
 * Blocks should hold whole sample frames. */
VARNEL_API void CQWaveOut_WriteAudioBlock(CQWaveOut* wave, unsigned char* data, int32_t length,
                                          bool copy);
/* Plays size bytes synchronously on the wave output's device: queues them behind the blocks
 * already queued, waits 500 ms, then waits in steps of 100 ms until the device has played
 * them (or dropped them: CQWaveOut_Play from another thread ends the wait), or until another
 * thread closes the wave output. data stays the caller's and is not changed. Does nothing when
 * the wave output is not open. */
VARNEL_API void CQWaveOut_writeAudioBlock(CQWaveOut* wave, const unsigned char* data,
                                          uint32_t size);
/* Reads a whole file into a block from malloc and stores its size. A file that cannot be
 * opened gives NULL and leaves *size as it was; an empty file gives NULL and size 0. The
 * caller frees the block with free, or hands it to CQWaveOut_WriteAudioBlock with copy false. */
VARNEL_API unsigned char* CQWaveOut_loadAudioBlock(const char* fileName, uint32_t* size);
/* Volume of the left channel, 0 to 65535 (0 when the wave output is not open). */
VARNEL_API uint16_t CQWaveOut_GetVolume(CQWaveOut* wave);
/* Sets the volume of both channels to the low word of (v << 8) | v, 0 silent to 65535
 * unchanged, applied to the samples as they are played (also to blocks already queued). So v
 * from 0 to 255 spans the whole range (255 gives 65535, full; 128 gives 0x8080), and a stereo
 * format's right channel gets the same volume as its left. A v other than 0 ends a mute. Does
 * nothing to a closed wave output but end the mute. */
VARNEL_API bool CQWaveOut_SetVolume(CQWaveOut* wave, uint16_t v);
/* mute true: saves the left volume and sets the device's volume to 0. A second mute keeps
 * the volume saved by the first, and a mute while the wave output is closed keeps the saved
 * volume as it was (full, 65535, before any mute). mute false: sets both channels to the saved
 * volume. The mute flag and the saved volume survive a close. */
VARNEL_API bool CQWaveOut_Mute(CQWaveOut* wave, bool mute);
/* Holds output where it is (silence plays meanwhile); blocks may still be queued. Only
 * CQWaveOut_Play lets output go on, dropping what is queued. */
VARNEL_API bool CQWaveOut_Pause(CQWaveOut* wave);
/* Resets the device: stops output and drops every queued block (each freed as played),
 * returning once all of them are freed. Output runs again: the next block queued plays at
 * once. */
VARNEL_API bool CQWaveOut_Play(CQWaveOut* wave);
/* Closes the device. While blocks are still queued the device refuses to close and the wave
 * output stays open: wait until CQWaveOut_QueuedBlocks gives 0, or drop them with
 * CQWaveOut_Play, then close again. Accepts NULL. */
VARNEL_API bool CQWaveOut_Close(CQWaveOut* wave);
/* Blocks queued by CQWaveOut_WriteAudioBlock and not yet freed. Not among the original
 * interface: without it a host cannot tell how much sound is still to play. */
VARNEL_API int32_t CQWaveOut_QueuedBlocks(CQWaveOut* wave);

/* ---- Export ---------------------------------------------------------------------------- */

/* An export writes a stretch of a recording as a standard file that any player opens, without
 * decoding or re-encoding a picture: the access units go into the file as the recorder sent
 * them, as fast as it sends them (no pacing, nothing in any save folder).
 *
 * The container follows the name: MP4 when it ends in ".mp4" (any case), Matroska otherwise.
 *   Matroska  H.264 or H.265 video and G.711 mu-law sound (8000 Hz mono), both as sent.
 *             A file has a sound track when sound comes within its first second of pictures
 *             (the tracks are fixed in the file's header; recorders interleave the two).
 *   MP4       the video as sent; the sound is left out (MP4 has no place for G.711, and
 *             making AAC of it would mean decoding and encoding), which a trace line says.
 * Every file starts with its first picture at time 0; every picture and sound block is timed
 * by its record's frame time to the millisecond, so a stretch with nothing recorded stays a
 * stretch of the same length in the file. Sound before the first picture is not written. The
 * file's creation time is the recorder time of its first picture (the recorder's clock, which
 * knows no time zone, written as if it were UTC) and each track's title names the channel,
 * "channel 3". A change of codec within the range ends the file there and goes on in a new
 * one named like the target with "-2", "-3", ... before the extension ("clip.mkv",
 * "clip-2.mkv"): a player follows a file, rarely a change of codec within one track.
 *
 * Each file is written beside its target under the target's name plus ".part" and renamed to
 * the target only when the whole range has been written: a cancelled, failed or interrupted
 * export leaves nothing at the target path (a process killed meanwhile leaves the ".part"
 * file). An existing file at the target is replaced. */

/* Outcome of an export. */
#define VARNEL_EXPORT_DONE 0         /* every file written and in place */
#define VARNEL_EXPORT_CANCELLED 1    /* the progress callback returned false */
#define VARNEL_EXPORT_CANNOT_WRITE 2 /* a file could not be created or written (trace says why) */
#define VARNEL_EXPORT_FAILED 3       /* no answer, or the feed broke off before the range ended */
#define VARNEL_EXPORT_NOTHING 4      /* the recorder sent no picture for the range */
#define VARNEL_EXPORT_BAD_ARGUMENT 5 /* a NULL record or path, or a bad channel list */

/* Progress: the recorder time reached (frame time, 100 ns units from year 1) and the bytes
 * written so far in all files. Called on the thread that called the export function, after
 * records have been written, at least every half second while the export runs (with the
 * same values when nothing came), so that a host can always cancel, and once with the last
 * values when the feed has ended, before the files are finished: returning false cancels
 * the export, which then returns VARNEL_EXPORT_CANCELLED. A recorder that sends nothing for
 * 30 s fails the export. The callback may not start another export. */
typedef bool (*varnel_export_progress)(int64_t frameTime, int64_t bytesWritten, void* user);

/* What an export wrote, filled in whatever its outcome (what was written before a failure). */
typedef struct varnel_export_summary {
    int64_t pictures;       /*  0 pictures written, over all files */
    int64_t soundBlocks;    /*  8 sound records written */
    int64_t firstFrameTime; /* 16 frame time of the first picture, 0 when none */
    int64_t lastFrameTime;  /* 24 frame time of the last picture, 0 when none */
    int64_t duration;       /* 32 ms: from the first picture to the end of the last */
    int64_t bytes;          /* 40 bytes in all files */
    int32_t files;          /* 48 files in place (0 unless VARNEL_EXPORT_DONE) */
    int32_t reserved;       /* 52 zero */
} varnel_export_summary;    /* size 56 on 32 and 64 bits */

/* Exports the range BeginTime..EndTime of setting's channel (Key) to path: the request goes
 * to the recorder as CVarnel1_Open1 sends it (address, account and authorization alike), in
 * the forward direction whatever Orientation says; IsOnlyKeyFrame and NoAudio are sent as
 * given, OnFile, SaveFolder, DirectURL, Speed and the callbacks are not read. The recorder
 * starts at the key frame at or before BeginTime: the pictures before BeginTime are written
 * when the first picture of the range needs them to be decoded, and left out when the range
 * starts with a key frame of its own (after a stretch with nothing recorded, the group before
 * it may end long before the range). The picture the recorder sends after EndTime to finish
 * its last group is not written. A feed that ends without the recorder's end record has
 * broken off (VARNEL_EXPORT_FAILED) unless that picture after EndTime came. Blocks until the
 * export ends and returns its outcome; summary may be NULL. progress may be NULL (the export
 * then runs to its end). Any thread; several exports may run at once. */
VARNEL_API int32_t varnel_export(const StreamSetting* setting, const char* path,
                                 varnel_export_progress progress, void* user,
                                 varnel_export_summary* summary);

/* The same for count channels of one recorder in one request (as the media element asks for
 * them): one file per channel, the channel's number before the extension ("clip.mkv" gives
 * "clip-ch1.mkv", "clip-ch2.mkv", after a codec change "clip-ch1-2.mkv"). One file a channel
 * rather than one track a channel, because most players show only the first video track of a
 * file: the receiver of an export should see every camera without knowing that. Each file
 * has its own time 0 and creation time; their creation times put them in step. A channel with
 * no picture in the range gets no file; VARNEL_EXPORT_NOTHING only when no channel has one.
 * setting's Key is not read; channels holds 1 to 64 distinct channel numbers. */
VARNEL_API int32_t varnel_export_channels(const StreamSetting* setting, const int32_t* channels,
                                          int32_t count, const char* path,
                                          varnel_export_progress progress, void* user,
                                          varnel_export_summary* summary);

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

VARNEL_STATIC_ASSERT(offsetof(pictureframe, pixels) == 8, "pixels");
VARNEL_STATIC_ASSERT(offsetof(pictureframe, frameTime) == 16, "frameTime");
VARNEL_STATIC_ASSERT(offsetof(pictureframe, lastFrameTime) == 24, "lastFrameTime");
VARNEL_STATIC_ASSERT(offsetof(pictureframe, channel) == 36, "channel");
VARNEL_STATIC_ASSERT(offsetof(pictureframe, duration) == 40, "duration");
VARNEL_STATIC_ASSERT(offsetof(pictureframe, pts) == 48, "pts");
VARNEL_STATIC_ASSERT(sizeof(pictureframe) == 64, "pictureframe size");
VARNEL_STATIC_ASSERT(sizeof(channelstate) == 8 && offsetof(channelstate, status) == 4,
                     "channelstate");

#define VARNEL_MES_AFTER_LIST(offset32) (VARNEL_PTR64 ? (offset32) + 8 : (offset32))
VARNEL_STATIC_ASSERT(offsetof(MediaElementStreamSetting, host) == 4, "host");
VARNEL_STATIC_ASSERT(offsetof(MediaElementStreamSetting, port) == 260, "port");
VARNEL_STATIC_ASSERT(offsetof(MediaElementStreamSetting, channelCount) == 264, "channelCount");
VARNEL_STATIC_ASSERT(offsetof(MediaElementStreamSetting, channels) == (VARNEL_PTR64 ? 272 : 268),
                     "channels");
VARNEL_STATIC_ASSERT(offsetof(MediaElementStreamSetting, SubKey) == VARNEL_MES_AFTER_LIST(272),
                     "SubKey");
VARNEL_STATIC_ASSERT(offsetof(MediaElementStreamSetting, Resolution) == VARNEL_MES_AFTER_LIST(276),
                     "Resolution");
VARNEL_STATIC_ASSERT(offsetof(MediaElementStreamSetting, beginTime) == VARNEL_MES_AFTER_LIST(280),
                     "beginTime");
VARNEL_STATIC_ASSERT(offsetof(MediaElementStreamSetting, endTime) == VARNEL_MES_AFTER_LIST(308),
                     "endTime");
VARNEL_STATIC_ASSERT(offsetof(MediaElementStreamSetting, fileMode) == VARNEL_MES_AFTER_LIST(336),
                     "fileMode");
VARNEL_STATIC_ASSERT(offsetof(MediaElementStreamSetting, loopFile) == VARNEL_MES_AFTER_LIST(340),
                     "loopFile");
VARNEL_STATIC_ASSERT(offsetof(MediaElementStreamSetting, saveFolder) == VARNEL_MES_AFTER_LIST(344),
                     "saveFolder");
VARNEL_STATIC_ASSERT(offsetof(MediaElementStreamSetting, fileName) == VARNEL_MES_AFTER_LIST(1880),
                     "fileName");
VARNEL_STATIC_ASSERT(offsetof(MediaElementStreamSetting, orientation) ==
                         VARNEL_MES_AFTER_LIST(2140),
                     "orientation");
VARNEL_STATIC_ASSERT(offsetof(MediaElementStreamSetting, onlyKeyFrame) ==
                         VARNEL_MES_AFTER_LIST(2144),
                     "onlyKeyFrame");
VARNEL_STATIC_ASSERT(offsetof(MediaElementStreamSetting, noAudio) == VARNEL_MES_AFTER_LIST(2148),
                     "noAudio");
VARNEL_STATIC_ASSERT(offsetof(MediaElementStreamSetting, callback) == VARNEL_MES_AFTER_LIST(2152),
                     "callback");
VARNEL_STATIC_ASSERT(sizeof(MediaElementStreamSetting) == (VARNEL_PTR64 ? 2176 : 2160),
                     "MediaElementStreamSetting size");
#undef VARNEL_MES_AFTER_LIST

VARNEL_STATIC_ASSERT(offsetof(WAVEFORMATEX, nChannels) == 2, "nChannels");
VARNEL_STATIC_ASSERT(offsetof(WAVEFORMATEX, nSamplesPerSec) == 4, "nSamplesPerSec");
VARNEL_STATIC_ASSERT(offsetof(WAVEFORMATEX, nAvgBytesPerSec) == 8, "nAvgBytesPerSec");
VARNEL_STATIC_ASSERT(offsetof(WAVEFORMATEX, nBlockAlign) == 12, "nBlockAlign");
VARNEL_STATIC_ASSERT(offsetof(WAVEFORMATEX, wBitsPerSample) == 14, "wBitsPerSample");
VARNEL_STATIC_ASSERT(offsetof(WAVEFORMATEX, cbSize) == 16, "cbSize");
VARNEL_STATIC_ASSERT(sizeof(WAVEFORMATEX) == 20, "WAVEFORMATEX size");

VARNEL_STATIC_ASSERT(offsetof(varnel_export_summary, duration) == 32, "duration");
VARNEL_STATIC_ASSERT(offsetof(varnel_export_summary, files) == 48, "files");
VARNEL_STATIC_ASSERT(sizeof(varnel_export_summary) == 56, "varnel_export_summary size");

#endif /* VARNEL_VARNEL_H */
