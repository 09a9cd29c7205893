/* Test host of the media element: drives it through the public C interface alone, from a
 * script given on the command line, and logs every callback for the test driver to check.
 *
 *   element_host LOG COMMAND...
 *   element_host --hash W H       hash raw BGR24 pictures read from standard input
 *
 * Commands (arguments separated by ':'):
 *   set:FIELD:VALUE    host port channels(1,2,3) fosid subkey resolution filemode loopfile
 *                      savefolder filename orientation keyonly noaudio callback(0|1)
 *                      begin/end (VALUE Y/M/D/h/m/s)
 *   create  open  play  pause  forward:S  rewind:S  step_forward  step_rewind  setpos:P
 *   reverse_mode:M
 *   seek:Y/M/D/h/m/s/ms  close  destroy
 *   close_in_callback:N     the callback closes the element at its Nth picture
 *   destroy_in_callback:N   the callback destroys the element at its Nth picture
 *   act:NAME:MS             the callback works MS ms, then calls NAME (play, pause or
 *                           step_forward), at every picture
 *   null_calls              every export with a NULL element (and Open with a NULL record)
 *   sleep:MS  wait_pictures:N:MS  wait_channel:C:N:MS  wait_quiet:MS
 *   wait_trace:TEXT:MS       until a trace line containing TEXT has come (once a run)
 *   checkpoint:NAME          print "CHECKPOINT NAME", wait for a line on standard input
 *   mark:TEXT  hash:0|1
 *   traces:0|1               keep the library's traces out of the log (on by default)
 *
 * Log lines (times in microseconds since start):
 *   PIC t n state channel status w h frametime lastframetime duration pts hash
 *   WAIT t state channel status        (a channel state without a picture)
 *   STATE t state                      (neither picture nor channel state)
 *   MARK t text   CALL t name took_us   TIMEOUT t what   TRACE t line   EXIT t ok */
#define _POSIX_C_SOURCE 200809L /* clock_gettime */
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <threads.h>
#include <time.h>
#include <varnel/varnel.h>

#include "../host_kit.h"

#define MAX_CHANNELS 512

static atomic_int g_pictures;
static atomic_int g_channel_pictures[MAX_CHANNELS];
static CQMediaElement* _Atomic g_element;
static atomic_int g_close_at;
static atomic_int g_destroy_at;
static atomic_int g_act; /* 0 none, 1 play, 2 pause, 3 step forward */
static atomic_int g_act_ms;

/* Written once before g_trace_armed is set (C11 mutexes are invisible to the thread sanitizer,
 * atomics are not). */
static char g_wanted_trace[256];
static atomic_int g_trace_armed;
static atomic_int g_trace_seen;

static void on_trace(const char* line, void* user) {
    (void)user;
    size_t n = strcspn(line, "\r\n");
    if (n > 0) logf_line("TRACE %lld %.*s\n", now_us(), (int)n, line);
    if (atomic_load(&g_trace_armed) && strstr(line, g_wanted_trace) != NULL)
        if (atomic_load(&g_trace_seen) == 0) count_up(&g_trace_seen);
}

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
    unsigned long long h = 0;
    if (atomic_load(&g_hash) && p->pixels != NULL)
        h = hash_bytes(p->pixels, (size_t)p->width * (size_t)p->height * 3);
    logf_line("PIC %lld %d %d %d %d %d %d %lld %lld %d %.3f %016llx\n", t, n, state, p->channel,
              s->status, p->width, p->height, (long long)p->frameTime, (long long)p->lastFrameTime,
              p->duration, p->pts, h);
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
    if (act != 0 && element != NULL) {
        sleep_ms(atomic_load(&g_act_ms));
        if (act == 1) CQMediaElement_Play(element);
        if (act == 2) CQMediaElement_Pause(element);
        if (act == 3) CQMediaElement_FrameStep_Forward(element);
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

static void set_field(MediaElementStreamSetting* s, const char* field, const char* v) {
    if (!strcmp(field, "host"))
        snprintf(s->host, sizeof s->host, "%s", v);
    else if (!strcmp(field, "port"))
        s->port = atoi(v);
    else if (!strcmp(field, "channels")) {
        int n = 0;
        for (const char* p = v; *p != '\0' && n < MAX_CHANNELS;) {
            g_channels[n++] = atoi(p);
            p += strcspn(p, ",");
            if (*p == ',') ++p;
        }
        s->channelCount = n;
        s->channels = n > 0 ? g_channels : NULL;
    } else if (!strcmp(field, "fosid"))
        s->FosID = atoi(v);
    else if (!strcmp(field, "subkey"))
        s->SubKey = atoi(v);
    else if (!strcmp(field, "resolution"))
        s->Resolution = atoi(v);
    else if (!strcmp(field, "filemode"))
        s->fileMode = atoi(v);
    else if (!strcmp(field, "loopfile"))
        s->loopFile = atoi(v);
    else if (!strcmp(field, "savefolder"))
        snprintf(s->saveFolder, sizeof s->saveFolder, "%s", v);
    else if (!strcmp(field, "filename"))
        snprintf(s->fileName, sizeof s->fileName, "%s", v);
    else if (!strcmp(field, "orientation"))
        s->orientation = atoi(v);
    else if (!strcmp(field, "keyonly"))
        s->onlyKeyFrame = atoi(v);
    else if (!strcmp(field, "noaudio"))
        s->noAudio = atoi(v);
    else if (!strcmp(field, "callback"))
        s->callback = atoi(v) ? on_element : NULL;
    else if (!strcmp(field, "begin"))
        set_time(&s->beginTime, v);
    else if (!strcmp(field, "end"))
        set_time(&s->endTime, v);
    else {
        fprintf(stderr, "unknown field %s\n", field);
        exit(3);
    }
}

int main(int argc, char** argv) {
    if (argc == 4 && !strcmp(argv[1], "--hash")) return hash_stream(atoi(argv[2]), atoi(argv[3]));
    if (argc < 2) return 3;
    if (!host_start(argv[1], on_trace)) return 3;

    static MediaElementStreamSetting setting;
    snprintf(setting.host, sizeof setting.host, "127.0.0.1");
    setting.orientation = 1;
    setting.callback = on_element;
    int ok = 1;

    for (int i = 2; i < argc && ok; ++i) {
        char cmd[2048];
        snprintf(cmd, sizeof cmd, "%s", argv[i]);
        char* args[6];
        kit_split(cmd, args);
        const char* name = cmd;
        CQMediaElement* element = atomic_load(&g_element);
        const long long t0 = now_us();
        if (!strcmp(name, "set"))
            set_field(&setting, args[0], args[1]);
        else if (!strcmp(name, "create"))
            atomic_store(&g_element, CQMediaElement_Create());
        else if (!strcmp(name, "open"))
            CQMediaElement_Open(element, &setting);
        else if (!strcmp(name, "play"))
            CQMediaElement_Play(element);
        else if (!strcmp(name, "pause"))
            CQMediaElement_Pause(element);
        else if (!strcmp(name, "forward"))
            CQMediaElement_Forward(element, atoi(args[0]));
        else if (!strcmp(name, "rewind"))
            CQMediaElement_Rewind(element, atoi(args[0]));
        else if (!strcmp(name, "step_forward"))
            CQMediaElement_FrameStep_Forward(element);
        else if (!strcmp(name, "step_rewind"))
            CQMediaElement_FrameStep_Rewind(element);
        else if (!strcmp(name, "reverse_mode"))
            CQMediaElement_SetReverseMode(element, atoi(args[0]));
        else if (!strcmp(name, "setpos"))
            CQMediaElement_SetPos(element, atoi(args[0]));
        else if (!strcmp(name, "seek")) {
            int f[7] = {0};
            sscanf(args[0], "%d/%d/%d/%d/%d/%d/%d", &f[0], &f[1], &f[2], &f[3], &f[4], &f[5],
                   &f[6]);
            CQMediaElement_Seek(element, f[0], f[1], f[2], f[3], f[4], f[5], f[6]);
        } else if (!strcmp(name, "close"))
            CQMediaElement_Close(element);
        else if (!strcmp(name, "destroy")) {
            atomic_store(&g_element, NULL);
            CQMediaElement_Destroy(element);
        } else if (!strcmp(name, "close_in_callback"))
            atomic_store(&g_close_at, atoi(args[0]));
        else if (!strcmp(name, "destroy_in_callback"))
            atomic_store(&g_destroy_at, atoi(args[0]));
        else if (!strcmp(name, "act")) {
            atomic_store(&g_act_ms, atoi(args[1]));
            atomic_store(&g_act, !strcmp(args[0], "play")           ? 1
                                 : !strcmp(args[0], "pause")        ? 2
                                 : !strcmp(args[0], "step_forward") ? 3
                                                                    : 0);
        } else if (!strcmp(name, "null_calls"))
            null_calls(&setting);
        else if (!strcmp(name, "wait_pictures"))
            ok = wait_count(&g_pictures, atoi(args[0]), atol(args[1]), argv[i]);
        else if (!strcmp(name, "wait_channel")) {
            const int c = atoi(args[0]);
            ok = c >= 0 && c < MAX_CHANNELS &&
                 wait_count(&g_channel_pictures[c], atoi(args[1]), atol(args[2]), argv[i]);
        } else if (!strcmp(name, "wait_trace")) {
            if (atomic_load(&g_trace_armed)) {
                fprintf(stderr, "wait_trace may be given once\n");
                return 3;
            }
            snprintf(g_wanted_trace, sizeof g_wanted_trace, "%s", args[0]);
            atomic_store(&g_trace_armed, 1);
            ok = wait_count(&g_trace_seen, 1, atol(args[1]), argv[i]);
        } else if (!strcmp(name, "traces"))
            varnel_set_trace_sink(atoi(args[0]) ? on_trace : NULL, NULL);
        else if (!kit_command(name, args, &ok)) {
            fprintf(stderr, "unknown command %s\n", name);
            return 3;
        }
        logf_line("CALL %lld %s %lld\n", t0, name, now_us() - t0);
    }
    logf_line("EXIT %lld %d\n", now_us(), ok);
    fclose(g_log);
    return ok ? 0 : 2;
}
