/* Test host: drives the playback object or the media element through the public C interface
 * alone, from a script given on the command line, and logs every callback so that the test
 * driver can check it.
 *
 *   test_host playback|element LOG COMMAND...   run the commands in order
 *   test_host --hash W H                        hash raw BGR24 pictures read from standard input
 *
 * Commands of both (arguments separated by ':'):
 *   sleep:MS  wait_pictures:N:MS  wait_quiet:MS (until no callback has come for MS)
 *   wait_trace:TEXT:MS       until a trace line containing TEXT has come (once a run)
 *   checkpoint:NAME          print "CHECKPOINT NAME", wait for a line on standard input
 *   mark:TEXT                write TEXT into the log
 *   hash:0|1                 log a hash of every picture (off by default)
 *   traces:0|1               keep the library's traces out of the log (on by default)
 *
 * The playback object's:
 *   rec:main|fos            select the record that set: changes
 *   set:FIELD:VALUE         ip port key subkey fosid resolution onfile autorepeat savefolder
 *                           direct writefile speed orientation keyonly noaudio
 *                           begin/end (VALUE Y/M/D/h/m/s) framecb/endcb (0: no callback)
 *   react:WHEN:COMMAND      run a command of these from inside a callback, once: WHEN is pic
 *                           (the frame callback of the first picture), end (the end callback)
 *                           or state4
 *   create:ID  open1  openfos  play  pause
 *   speed:EXP:ORIENT:APPLY:NOAUDIO  reverse:MODE  close:WAIT  destroy
 *   wait_end:MS  wait_state4:MS
 *   reset                    count pictures, ends and state-4 reports from zero again
 *
 * The media element's:
 *   set:FIELD:VALUE    host port channels(1,2,3) fosid subkey resolution filemode loopfile
 *                      savefolder filename orientation keyonly noaudio callback(0|1)
 *                      begin/end (VALUE Y/M/D/h/m/s)
 *   create  open  play  pause  forward:S  rewind:S  step_forward  step_rewind  setpos:P
 *   reverse_mode:M  seek:Y/M/D/h/m/s/ms  close  destroy
 *   close_in_callback:N     the callback closes the element at its Nth picture
 *   destroy_in_callback:N   the callback destroys the element at its Nth picture
 *   act:NAME:MS             the callback works MS ms, then calls NAME (play, pause,
 *                           step_forward...; none for no call), at every picture
 *   null_calls              every export with a NULL element (and Open with a NULL record)
 *   wait_channel:C:N:MS
 *
 * Log lines (times in microseconds since start):
 *   playback: PIC t n state pos w h frametime lastframetime source hash
 *             STATE t state pos   END t feedstate   REACT t when action took_us
 *   element:  PIC t n state channel status w h frametime lastframetime duration pts hash
 *             WAIT t state channel status (a channel state without a picture)
 *             STATE t state (neither picture nor channel state)   NULLS t refused
 *   both:     MARK t text   CALL t name took_us   TIMEOUT t what   TRACE t line
 *             EXIT t ok cpu_us (cpu_us: the process's own CPU time) */
#define _POSIX_C_SOURCE 200809L /* clock_gettime */
#include <stdarg.h>
#include <stdatomic.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <threads.h>
#include <time.h>
#include <varnel/varnel.h>

static FILE* g_log;
static mtx_t g_lock;
/* The counters the commands wait for change under this lock, which wakes the waits: the host
 * waits without polling, so that its own wake-ups do not count in what the benchmarks measure
 * of the library. */
static mtx_t g_count_lock;
static cnd_t g_count_changed;
static struct timespec g_start;

/* On the monotonic clock, as the library's timing is: the calendar clock is slewed (here by
 * as much as 0.5 %), and every picture would seem to drift from its time. */
static long long now_us(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)(t.tv_sec - g_start.tv_sec) * 1000000 + (t.tv_nsec - g_start.tv_nsec) / 1000;
}

static void sleep_ms(long ms) {
    struct timespec d = {ms / 1000, (ms % 1000) * 1000000L};
    thrd_sleep(&d, NULL);
}

static uint64_t hash_bytes(const unsigned char* p, size_t n) {
    uint64_t h = 0x9E3779B97F4A7C15ull ^ n;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        memcpy(&w, p + i, 8);
        h = (h ^ w) * 0x100000001B3ull;
        h ^= h >> 29;
    }
    for (; i < n; ++i) h = (h ^ p[i]) * 0x100000001B3ull;
    return h;
}

static void logf_line(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
static void logf_line(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    mtx_lock(&g_lock);
    vfprintf(g_log, fmt, ap);
    fflush(g_log);
    mtx_unlock(&g_lock);
    va_end(ap);
}

/* Reads BGR24 pictures of w x h from standard input and prints the hash of each. */
static int hash_stream(int w, int h) {
    const size_t size = (size_t)w * (size_t)h * 3;
    unsigned char* buf = malloc(size);
    if (buf == NULL) return 1;
    while (fread(buf, 1, size, stdin) == size)
        printf("%016llx\n", (unsigned long long)hash_bytes(buf, size));
    free(buf);
    return 0;
}

static void set_time(StreamSettingTime* t, const char* v) {
    sscanf(v, "%d/%d/%d/%d/%d/%d", &t->Year, &t->Month, &t->Day, &t->Hour, &t->Minute, &t->Second);
}

/* Adds one to counter and wakes the waits; the value before. */
static int count_up(atomic_int* counter) {
    mtx_lock(&g_count_lock);
    const int before = atomic_fetch_add(counter, 1);
    cnd_broadcast(&g_count_changed);
    mtx_unlock(&g_count_lock);
    return before;
}

/* Waits until counter reaches n; logs a TIMEOUT line after ms. */
static int wait_count(atomic_int* counter, int n, long ms, const char* what) {
    struct timespec deadline;
    timespec_get(&deadline, TIME_UTC);
    const long long ns = deadline.tv_nsec + (ms % 1000) * 1000000LL;
    deadline.tv_sec += ms / 1000 + (time_t)(ns / 1000000000);
    deadline.tv_nsec = (long)(ns % 1000000000);
    mtx_lock(&g_count_lock);
    while (atomic_load(counter) < n &&
           cnd_timedwait(&g_count_changed, &g_count_lock, &deadline) != thrd_timedout) {
    }
    const int reached = atomic_load(counter) >= n;
    mtx_unlock(&g_count_lock);
    if (!reached) {
        logf_line("TIMEOUT %lld %s\n", now_us(), what);
        fprintf(stderr, "timed out: %s\n", what);
    }
    return reached;
}

static atomic_llong g_last_event; /* time of the last callback */
static atomic_int g_hash;         /* hash the pictures in the callbacks */

/* A BGR24 picture's hash when hashing is on, else 0. */
static unsigned long long picture_hash(const unsigned char* pixels, int w, int h) {
    return atomic_load(&g_hash) && pixels != NULL ? hash_bytes(pixels, (size_t)w * (size_t)h * 3)
                                                  : 0;
}

static atomic_int g_pictures; /* presented pictures, as each interface counts them */

/* Written once before g_trace_armed is set (C11 mutexes are invisible to the thread sanitizer,
 * atomics are not). */
static char g_wanted_trace[256];
static atomic_int g_trace_armed;
static atomic_int g_trace_seen;

/* Library traces go to the log too, so that a failed run shows what the library saw. */
static void on_trace(const char* line, void* user) {
    (void)user;
    size_t n = strcspn(line, "\r\n");
    if (n > 0) logf_line("TRACE %lld %.*s\n", now_us(), (int)n, line);
    if (atomic_load(&g_trace_armed) && strstr(line, g_wanted_trace) != NULL)
        if (atomic_load(&g_trace_seen) == 0) count_up(&g_trace_seen);
}

static atomic_int g_ends;
static atomic_int g_state4;

/* The object, for calls made from inside callbacks. */
static CVarnel1* _Atomic g_player;
enum { REACT_NONE, REACT_PIC, REACT_END, REACT_STATE4 };
static atomic_int g_react_when;
static char g_react_command[64]; /* written before g_react_when is set, as g_wanted_trace */

static void split(char* cmd, char* args[6]);
static int playback_command(const char* name, char* args[6], const char* whole, int* ok);

static void react(int when, const char* name) {
    int expected = when, ok = 1;
    if (!atomic_compare_exchange_strong(&g_react_when, &expected, REACT_NONE)) return;
    char cmd[64], *args[6];
    snprintf(cmd, sizeof cmd, "%s", g_react_command);
    split(cmd, args);
    const long long t0 = now_us();
    playback_command(cmd, args, g_react_command, &ok);
    logf_line("REACT %lld %s %s %lld\n", t0, name, g_react_command, now_us() - t0);
}

static void on_frame(int32_t zero, int32_t state, double position, FrameInfo* f) {
    (void)zero;
    const long long t = now_us();
    atomic_store(&g_last_event, t);
    if (f == NULL) {
        logf_line("STATE %lld %d %.6f\n", t, state, position);
        if (state == VARNEL_STATE_CLOSED) {
            count_up(&g_state4);
            react(REACT_STATE4, "state4");
        }
        return;
    }
    const int n = count_up(&g_pictures);
    logf_line("PIC %lld %d %d %.6f %d %d %lld %lld %d %016llx\n", t, n, state, position, f->Width,
              f->Height, (long long)f->FrameTime, (long long)f->LastFrameTime, f->Source,
              picture_hash(f->Pixels, f->Width, f->Height));
    react(REACT_PIC, "pic");
}

static void on_end(int32_t zero, int32_t feed, int32_t zero2) {
    (void)zero, (void)zero2;
    atomic_store(&g_last_event, now_us());
    logf_line("END %lld %d\n", now_us(), feed);
    count_up(&g_ends);
    react(REACT_END, "end");
}

/* The records set: changes, the main one and the FOS one. */
#define RECORD \
    { .IP = "127.0.0.1", .Orientation = 1, .FrameCallback = on_frame, .EndCallback = on_end }
static StreamSetting g_records[2] = {RECORD, RECORD};

/* The fields of a record that set: writes, by name: whole numbers, text and times. */
enum { FIELD_INT, FIELD_TEXT, FIELD_TIME };
typedef struct {
    const char* name;
    size_t offset, size;
    int kind;
} field;
#define FIELD(type, name, member, kind) \
    { name, offsetof(type, member), sizeof(((type*)0)->member), kind }

/* Sets the field of record called name to v; ends the host when fields has none of that name. */
static void set_field(void* record, const field* fields, const char* name, const char* v) {
    for (; fields->name != NULL; ++fields) {
        if (strcmp(fields->name, name) != 0) continue;
        char* at = (char*)record + fields->offset;
        if (fields->kind == FIELD_INT) {
            const int32_t n = atoi(v);
            memcpy(at, &n, sizeof n);
        } else if (fields->kind == FIELD_TEXT)
            snprintf(at, fields->size, "%s", v);
        else
            set_time((StreamSettingTime*)at, v);
        return;
    }
    fprintf(stderr, "unknown field %s\n", name);
    exit(3);
}

#define PB(name, member, kind) FIELD(StreamSetting, name, member, kind)
/* clang-format off */
static const field g_playback_fields[] = {
    PB("ip", IP, FIELD_TEXT), PB("port", Port, FIELD_INT), PB("key", Key, FIELD_INT),
    PB("subkey", SubKey, FIELD_INT), PB("fosid", FosID, FIELD_INT),
    PB("resolution", Resolution, FIELD_INT), PB("onfile", OnFile, FIELD_INT),
    PB("autorepeat", AutoRepeat, FIELD_INT), PB("speed", Speed, FIELD_INT),
    PB("orientation", Orientation, FIELD_INT), PB("keyonly", IsOnlyKeyFrame, FIELD_INT),
    PB("noaudio", NoAudio, FIELD_INT), PB("savefolder", SaveFolder, FIELD_TEXT),
    PB("direct", DirectURL, FIELD_TEXT), PB("writefile", WriteFileName, FIELD_TEXT),
    PB("begin", BeginTime, FIELD_TIME), PB("end", EndTime, FIELD_TIME), {NULL, 0, 0, 0}};
/* clang-format on */

static void playback_field(StreamSetting* s, const char* name, const char* v) {
    if (!strcmp(name, "framecb"))
        s->FrameCallback = atoi(v) ? on_frame : NULL;
    else if (!strcmp(name, "endcb"))
        s->EndCallback = atoi(v) ? on_end : NULL;
    else
        set_field(s, g_playback_fields, name, v);
}

#define MAX_CHANNELS 512

static atomic_int g_channel_pictures[MAX_CHANNELS];
static CQMediaElement* _Atomic g_element;
static atomic_int g_close_at;
static atomic_int g_destroy_at;
/* The element's calls without arguments, by command name. */
static const struct {
    const char* name;
    bool (*call)(CQMediaElement*);
} g_element_calls[] = {{"play", CQMediaElement_Play},
                       {"pause", CQMediaElement_Pause},
                       {"step_forward", CQMediaElement_FrameStep_Forward},
                       {"step_rewind", CQMediaElement_FrameStep_Rewind},
                       {"close", CQMediaElement_Close}};
enum { ELEMENT_CALLS = sizeof g_element_calls / sizeof g_element_calls[0] };

static int element_call(const char* name) {
    int i = 0;
    while (i < ELEMENT_CALLS && strcmp(g_element_calls[i].name, name) != 0) ++i;
    return i;
}
static atomic_int g_act = ELEMENT_CALLS; /* the call the callback makes; none */
static atomic_int g_act_ms;

static void on_element(int32_t zero, int32_t state, double zero2, pictureframe* p,
                       channelstate* s) {
    const long long t = now_us();
    atomic_store(&g_last_event, t);
    if (zero != 0 || zero2 != 0.0) logf_line("BADARGS %lld %d %f\n", t, zero, zero2);
    if (p == NULL && s == NULL) {
        logf_line("STATE %lld %d\n", t, state);
        return;
    }
    if (p == NULL) {
        logf_line("WAIT %lld %d %d %d\n", t, state, s->channel, s->status);
        return;
    }
    int n = -1;
    if (s->status == VARNEL_CHANNEL_PRESENTED) {
        n = count_up(&g_pictures) + 1;
        if (p->channel >= 0 && p->channel < MAX_CHANNELS) count_up(&g_channel_pictures[p->channel]);
    }
    logf_line("PIC %lld %d %d %d %d %d %d %lld %lld %d %.3f %016llx\n", t, n, state, p->channel,
              s->status, p->width, p->height, (long long)p->frameTime, (long long)p->lastFrameTime,
              p->duration, p->pts, picture_hash(p->pixels, p->width, p->height));
    CQMediaElement* element = atomic_load(&g_element);
    if (n > 0 && n == atomic_load(&g_close_at)) {
        logf_line("MARK %lld close_in_callback\n", now_us());
        CQMediaElement_Close(element);
        logf_line("MARK %lld close_returned\n", now_us());
    }
    if (n > 0 && n == atomic_load(&g_destroy_at)) {
        logf_line("MARK %lld destroy_in_callback\n", now_us());
        atomic_store(&g_element, NULL);
        CQMediaElement_Destroy(element);
        logf_line("MARK %lld destroy_returned\n", now_us());
        return;
    }
    const int act = atomic_load(&g_act);
    if (act < ELEMENT_CALLS && element != NULL) {
        sleep_ms(atomic_load(&g_act_ms));
        g_element_calls[act].call(element);
    }
}

static void null_calls(const MediaElementStreamSetting* s) {
    CQMediaElement* e = CQMediaElement_Create();
    const int refused = !CQMediaElement_Open(e, NULL) && !CQMediaElement_Open(NULL, s) &&
                        !CQMediaElement_Play(NULL) && !CQMediaElement_Pause(NULL) &&
                        !CQMediaElement_Forward(NULL, 1) && !CQMediaElement_Rewind(NULL, 1) &&
                        !CQMediaElement_FrameStep_Forward(NULL) &&
                        !CQMediaElement_FrameStep_Rewind(NULL) && !CQMediaElement_SetPos(NULL, 1) &&
                        !CQMediaElement_SetReverseMode(NULL, 1) &&
                        !CQMediaElement_Seek(NULL, 2024, 1, 1, 0, 0, 0, 0);
    CQMediaElement_Close(NULL);
    CQMediaElement_Destroy(NULL);
    CQMediaElement_Destroy(e);
    logf_line("NULLS %lld %d\n", now_us(), refused);
}

static int32_t g_channels[MAX_CHANNELS];

#define EL(name, member, kind) FIELD(MediaElementStreamSetting, name, member, kind)
/* clang-format off */
static const field g_element_fields[] = {
    EL("host", host, FIELD_TEXT), EL("port", port, FIELD_INT), EL("fosid", FosID, FIELD_INT),
    EL("subkey", SubKey, FIELD_INT), EL("resolution", Resolution, FIELD_INT),
    EL("filemode", fileMode, FIELD_INT), EL("loopfile", loopFile, FIELD_INT),
    EL("orientation", orientation, FIELD_INT), EL("keyonly", onlyKeyFrame, FIELD_INT),
    EL("noaudio", noAudio, FIELD_INT), EL("savefolder", saveFolder, FIELD_TEXT),
    EL("filename", fileName, FIELD_TEXT), EL("begin", beginTime, FIELD_TIME),
    EL("end", endTime, FIELD_TIME), {NULL, 0, 0, 0}};
/* clang-format on */

static void element_field(MediaElementStreamSetting* s, const char* name, const char* v) {
    if (!strcmp(name, "channels")) {
        int n = 0;
        for (const char* p = v; *p != '\0' && n < MAX_CHANNELS;) {
            g_channels[n++] = atoi(p);
            p += strcspn(p, ",");
            if (*p == ',') ++p;
        }
        s->channelCount = n;
        s->channels = n > 0 ? g_channels : NULL;
    } else if (!strcmp(name, "callback"))
        s->callback = atoi(v) ? on_element : NULL;
    else
        set_field(s, g_element_fields, name, v);
}

/* A playback command; 0 when name is none. */
static int playback_command(const char* name, char* args[6], const char* whole, int* ok) {
    static StreamSetting* rec = &g_records[0];
    CVarnel1* player = atomic_load(&g_player);
    if (!strcmp(name, "rec"))
        rec = &g_records[strcmp(args[0], "fos") == 0 ? 1 : 0];
    else if (!strcmp(name, "set"))
        playback_field(rec, args[0], args[1]);
    else if (!strcmp(name, "create"))
        atomic_store(&g_player, CVarnel1_Create(0, atoi(args[0])));
    else if (!strcmp(name, "open1"))
        CVarnel1_Open1(player, &g_records[0]);
    else if (!strcmp(name, "openfos"))
        CVarnel1_OpenFOS(player, &g_records[0], &g_records[1]);
    else if (!strcmp(name, "play"))
        CVarnel1_Play(player);
    else if (!strcmp(name, "pause"))
        CVarnel1_Pause(player);
    else if (!strcmp(name, "speed"))
        CVarnel1_SetSpeed_Orientation(player, atoi(args[0]), atoi(args[1]), atoi(args[2]) != 0,
                                      atoi(args[3]) != 0);
    else if (!strcmp(name, "reverse"))
        *ok = CVarnel1_SetReverseMode(player, atoi(args[0]));
    else if (!strcmp(name, "close"))
        CVarnel1_Close(player, atoi(args[0]) != 0);
    else if (!strcmp(name, "destroy"))
        CVarnel1_Destory(atomic_exchange(&g_player, NULL));
    else if (!strcmp(name, "wait_end"))
        *ok = wait_count(&g_ends, 1, atol(args[0]), whole);
    else if (!strcmp(name, "wait_state4"))
        *ok = wait_count(&g_state4, 1, atol(args[0]), whole);
    else if (!strcmp(name, "reset")) {
        atomic_store(&g_pictures, 0);
        atomic_store(&g_ends, 0);
        atomic_store(&g_state4, 0);
    } else if (!strcmp(name, "react")) {
        snprintf(g_react_command, sizeof g_react_command, "%s", strchr(whole + 6, ':') + 1);
        atomic_store(&g_react_when, !strcmp(args[0], "pic")   ? REACT_PIC
                                    : !strcmp(args[0], "end") ? REACT_END
                                                              : REACT_STATE4);
    } else
        return 0;
    return 1;
}

/* An element command; 0 when name is none. */
static int element_command(const char* name, char* args[6], const char* whole, int* ok) {
    static MediaElementStreamSetting setting = {
        .host = "127.0.0.1", .orientation = 1, .callback = on_element};
    CQMediaElement* element = atomic_load(&g_element);
    if (!strcmp(name, "set"))
        element_field(&setting, args[0], args[1]);
    else if (!strcmp(name, "create"))
        atomic_store(&g_element, CQMediaElement_Create());
    else if (!strcmp(name, "open"))
        CQMediaElement_Open(element, &setting);
    else if (element_call(name) < ELEMENT_CALLS)
        g_element_calls[element_call(name)].call(element);
    else if (!strcmp(name, "forward"))
        CQMediaElement_Forward(element, atoi(args[0]));
    else if (!strcmp(name, "rewind"))
        CQMediaElement_Rewind(element, atoi(args[0]));
    else if (!strcmp(name, "reverse_mode"))
        CQMediaElement_SetReverseMode(element, atoi(args[0]));
    else if (!strcmp(name, "setpos"))
        CQMediaElement_SetPos(element, atoi(args[0]));
    else if (!strcmp(name, "seek")) {
        int f[7] = {0};
        sscanf(args[0], "%d/%d/%d/%d/%d/%d/%d", &f[0], &f[1], &f[2], &f[3], &f[4], &f[5], &f[6]);
        CQMediaElement_Seek(element, f[0], f[1], f[2], f[3], f[4], f[5], f[6]);
    } else if (!strcmp(name, "destroy")) {
        atomic_store(&g_element, NULL);
        CQMediaElement_Destroy(element);
    } else if (!strcmp(name, "close_in_callback"))
        atomic_store(&g_close_at, atoi(args[0]));
    else if (!strcmp(name, "destroy_in_callback"))
        atomic_store(&g_destroy_at, atoi(args[0]));
    else if (!strcmp(name, "act")) {
        atomic_store(&g_act_ms, atoi(args[1]));
        atomic_store(&g_act, element_call(args[0]));
    } else if (!strcmp(name, "null_calls"))
        null_calls(&setting);
    else if (!strcmp(name, "wait_channel")) {
        const int c = atoi(args[0]);
        *ok = c >= 0 && c < MAX_CHANNELS &&
              wait_count(&g_channel_pictures[c], atoi(args[1]), atol(args[2]), whole);
    } else
        return 0;
    return 1;
}

/* The commands of both; 0 when name is none. */
static int common_command(const char* name, char* args[6], const char* whole, int* ok) {
    if (!strcmp(name, "sleep"))
        sleep_ms(atol(args[0]));
    else if (!strcmp(name, "wait_quiet"))
        while (now_us() - atomic_load(&g_last_event) < atol(args[0]) * 1000LL) sleep_ms(5);
    else if (!strcmp(name, "wait_pictures"))
        *ok = wait_count(&g_pictures, atoi(args[0]), atol(args[1]), whole);
    else if (!strcmp(name, "wait_trace")) {
        snprintf(g_wanted_trace, sizeof g_wanted_trace, "%s", args[0]);
        atomic_store(&g_trace_armed, 1);
        *ok = wait_count(&g_trace_seen, 1, atol(args[1]), whole);
    } else if (!strcmp(name, "traces"))
        varnel_set_trace_sink(atoi(args[0]) ? on_trace : NULL, NULL);
    else if (!strcmp(name, "checkpoint")) {
        printf("CHECKPOINT %s\n", args[0]);
        fflush(stdout);
        char line[64];
        if (fgets(line, sizeof line, stdin) == NULL) *ok = 0;
    } else if (!strcmp(name, "mark"))
        logf_line("MARK %lld %s\n", now_us(), args[0]);
    else if (!strcmp(name, "hash"))
        atomic_store(&g_hash, atoi(args[0]));
    else
        return 0;
    return 1;
}

/* Cuts a command at the colons into arguments ("0" for those not given); the value of a set:
 * command takes the rest, ':' included (URLs). */
static void split(char* cmd, char* args[6]) {
    const int max = strncmp(cmd, "set:", 4) == 0 ? 2 : 6;
    int n = 0;
    for (char* p = cmd; *p != '\0' && n < max; ++p)
        if (*p == ':') {
            *p = '\0';
            args[n++] = p + 1;
        }
    for (int k = n; k < 6; ++k) args[k] = "0";
}

int main(int argc, char** argv) {
    if (argc == 4 && !strcmp(argv[1], "--hash")) return hash_stream(atoi(argv[2]), atoi(argv[3]));
    if (argc < 3) return 3;
    const int element = !strcmp(argv[1], "element");
    clock_gettime(CLOCK_MONOTONIC, &g_start);
    mtx_init(&g_lock, mtx_plain);
    mtx_init(&g_count_lock, mtx_plain);
    cnd_init(&g_count_changed);
    g_log = fopen(argv[2], "w");
    if (g_log == NULL) return 3;
    varnel_set_trace_sink(on_trace, NULL);

    int ok = 1;
    for (int i = 3; i < argc && ok; ++i) {
        char cmd[2048];
        snprintf(cmd, sizeof cmd, "%s", argv[i]);
        char* args[6];
        split(cmd, args);
        const long long t0 = now_us();
        if (!(element ? element_command : playback_command)(cmd, args, argv[i], &ok) &&
            !common_command(cmd, args, argv[i], &ok)) {
            fprintf(stderr, "unknown command %s\n", cmd);
            return 3;
        }
        logf_line("CALL %lld %s %lld\n", t0, cmd, now_us() - t0);
    }
    /* The process's own CPU time, for the benchmark: a profiler around the host does not
     * count in it. */
    logf_line("EXIT %lld %d %lld\n", now_us(), ok,
              (long long)(clock() * 1000000.0 / CLOCKS_PER_SEC));
    /* An object destroyed from its callback may still be stopping, and tracing. */
    varnel_set_trace_sink(NULL, NULL);
    fclose(g_log);
    return ok ? 0 : 2;
}
