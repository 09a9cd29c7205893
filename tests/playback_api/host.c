/* Test host: drives the library through its public C interface alone, from a script given on
 * the command line, and logs every callback so that the test driver can check it.
 *
 *   playback_host LOG COMMAND...       run the commands in order
 *   playback_host --hash W H           hash raw BGR24 pictures read from standard input
 *
 * Commands (arguments separated by ':'):
 *   rec:main|fos            select the record that set: changes
 *   set:FIELD:VALUE         ip port key subkey fosid resolution onfile autorepeat savefolder
 *                           direct writefile speed orientation keyonly noaudio
 *                           begin/end (VALUE Y/M/D/h/m/s) framecb/endcb (0: no callback)
 *   react:WHEN:ACTION       make a call from inside a callback, once: WHEN is pic (the frame
 *                           callback of the first picture), end (the end callback) or state4;
 *                           ACTION one of open1 openfos close0 close1 play pause speed destroy
 *   create:ID  open1  openfos  openfos_nofos  play  pause  setpos:P
 *   speed:EXP:ORIENT:APPLY:NOAUDIO  reverse:MODE  close:WAIT  destroy
 *   engine_create  engine_open:URL  engine_stop:WAIT  engine_destroy
 *   sleep:MS  wait_pictures:N:MS  wait_end:MS  wait_state4:MS  wait_quiet:MS
 *   reset                    count pictures, ends and state-4 reports from zero again
 *   checkpoint:NAME          print "CHECKPOINT NAME", wait for a line on standard input
 *   mark:TEXT                write TEXT into the log
 *   hash:0|1                 log a hash of every picture (off by default)
 *
 * Log lines (times in microseconds since start):
 *   PIC t n state pos w h frametime lastframetime source hash
 *   STATE t state pos         END t feedstate         CALL t name took_us
 *   REACT t when action took_us
 *   MARK t text               TIMEOUT t what            TRACE t line
 *   EXIT t ok cpu_us          (cpu_us: the process's own CPU time) */
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

static atomic_int g_pictures;
static atomic_int g_ends;
static atomic_int g_state4;

/* The object, for calls made from inside callbacks. */
static CVarnel1* _Atomic g_player;
static StreamSetting g_records[2];
enum { REACT_NONE, REACT_PIC, REACT_END, REACT_STATE4 };
static atomic_int g_react_when;
static char g_react_action[32];

/* Library traces go to the log too, so that a failed run shows what the library saw. */
static void on_trace(const char* line, void* user) {
    (void)user;
    size_t n = strcspn(line, "\r\n");
    if (n > 0) logf_line("TRACE %lld %.*s\n", now_us(), (int)n, line);
}

static void react(int when, const char* name) {
    int expected = when;
    if (!atomic_compare_exchange_strong(&g_react_when, &expected, REACT_NONE)) return;
    CVarnel1* p = atomic_load(&g_player);
    const long long t0 = now_us();
    const char* a = g_react_action;
    if (!strcmp(a, "open1"))
        CVarnel1_Open1(p, &g_records[0]);
    else if (!strcmp(a, "openfos"))
        CVarnel1_OpenFOS(p, &g_records[0], &g_records[1]);
    else if (!strcmp(a, "close0"))
        CVarnel1_Close(p, false);
    else if (!strcmp(a, "close1"))
        CVarnel1_Close(p, true);
    else if (!strcmp(a, "play"))
        CVarnel1_Play(p);
    else if (!strcmp(a, "pause"))
        CVarnel1_Pause(p);
    else if (!strcmp(a, "speed"))
        CVarnel1_SetSpeed_Orientation(p, 1, 1, true, false);
    else if (!strcmp(a, "destroy")) {
        atomic_store(&g_player, NULL);
        CVarnel1_Destory(p);
    }
    logf_line("REACT %lld %s %s %lld\n", t0, name, a, now_us() - t0);
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
    unsigned long long h = 0;
    if (atomic_load(&g_hash) && f->Pixels != NULL)
        h = hash_bytes(f->Pixels, (size_t)f->Width * (size_t)f->Height * 3);
    logf_line("PIC %lld %d %d %.6f %d %d %lld %lld %d %016llx\n", t, n, state, position, f->Width,
              f->Height, (long long)f->FrameTime, (long long)f->LastFrameTime, f->Source, h);
    react(REACT_PIC, "pic");
}

static void on_end(int32_t zero, int32_t feed, int32_t zero2) {
    (void)zero;
    (void)zero2;
    atomic_store(&g_last_event, now_us());
    logf_line("END %lld %d\n", now_us(), feed);
    count_up(&g_ends);
    react(REACT_END, "end");
}

static void set_field(StreamSetting* s, const char* field, const char* v) {
    if (!strcmp(field, "ip"))
        snprintf(s->IP, sizeof s->IP, "%s", v);
    else if (!strcmp(field, "port"))
        s->Port = atoi(v);
    else if (!strcmp(field, "key"))
        s->Key = atoi(v);
    else if (!strcmp(field, "subkey"))
        s->SubKey = atoi(v);
    else if (!strcmp(field, "fosid"))
        s->FosID = atoi(v);
    else if (!strcmp(field, "resolution"))
        s->Resolution = atoi(v);
    else if (!strcmp(field, "onfile"))
        s->OnFile = atoi(v);
    else if (!strcmp(field, "autorepeat"))
        s->AutoRepeat = atoi(v);
    else if (!strcmp(field, "savefolder"))
        snprintf(s->SaveFolder, sizeof s->SaveFolder, "%s", v);
    else if (!strcmp(field, "direct"))
        snprintf(s->DirectURL, sizeof s->DirectURL, "%s", v);
    else if (!strcmp(field, "writefile"))
        snprintf(s->WriteFileName, sizeof s->WriteFileName, "%s", v);
    else if (!strcmp(field, "speed"))
        s->Speed = atoi(v);
    else if (!strcmp(field, "orientation"))
        s->Orientation = atoi(v);
    else if (!strcmp(field, "keyonly"))
        s->IsOnlyKeyFrame = atoi(v);
    else if (!strcmp(field, "noaudio"))
        s->NoAudio = atoi(v);
    else if (!strcmp(field, "begin"))
        set_time(&s->BeginTime, v);
    else if (!strcmp(field, "end"))
        set_time(&s->EndTime, v);
    else if (!strcmp(field, "framecb"))
        s->FrameCallback = atoi(v) ? on_frame : NULL;
    else if (!strcmp(field, "endcb"))
        s->EndCallback = atoi(v) ? on_end : NULL;
    else {
        fprintf(stderr, "unknown field %s\n", field);
        exit(3);
    }
}

int main(int argc, char** argv) {
    if (argc == 4 && !strcmp(argv[1], "--hash")) return hash_stream(atoi(argv[2]), atoi(argv[3]));
    if (argc < 2) return 3;
    if (!host_start(argv[1], on_trace)) return 3;

    StreamSetting* records = g_records;
    StreamSetting* rec = &records[0];
    for (int i = 0; i < 2; ++i) {
        snprintf(records[i].IP, sizeof records[i].IP, "127.0.0.1");
        records[i].Orientation = 1;
        records[i].FrameCallback = on_frame;
        records[i].EndCallback = on_end;
    }
    CQFFmpegPlayer* engine = NULL;
    int ok = 1;

    for (int i = 2; i < argc && ok; ++i) {
        char cmd[1024];
        snprintf(cmd, sizeof cmd, "%s", argv[i]);
        char* args[6];
        kit_split(cmd, args);
        char* name = cmd;
        const long long t0 = now_us();
        if (!strcmp(name, "rec"))
            rec = &records[strcmp(args[0], "fos") == 0 ? 1 : 0];
        else if (!strcmp(name, "set"))
            set_field(rec, args[0], args[1] ? args[1] : "");
        else if (!strcmp(name, "create"))
            atomic_store(&g_player, CVarnel1_Create(0, args[0] ? atoi(args[0]) : 0));
        else if (!strcmp(name, "open1"))
            CVarnel1_Open1(atomic_load(&g_player), &records[0]);
        else if (!strcmp(name, "openfos"))
            CVarnel1_OpenFOS(atomic_load(&g_player), &records[0], &records[1]);
        else if (!strcmp(name, "openfos_nofos"))
            CVarnel1_OpenFOS(atomic_load(&g_player), &records[0], NULL);
        else if (!strcmp(name, "play"))
            CVarnel1_Play(atomic_load(&g_player));
        else if (!strcmp(name, "pause"))
            CVarnel1_Pause(atomic_load(&g_player));
        else if (!strcmp(name, "setpos"))
            CVarnel1_SetPos(atomic_load(&g_player), atoi(args[0]));
        else if (!strcmp(name, "speed"))
            CVarnel1_SetSpeed_Orientation(atomic_load(&g_player), atoi(args[0]), atoi(args[1]),
                                          atoi(args[2]) != 0, atoi(args[3]) != 0);
        else if (!strcmp(name, "reverse"))
            ok = CVarnel1_SetReverseMode(atomic_load(&g_player), atoi(args[0]));
        else if (!strcmp(name, "close"))
            CVarnel1_Close(atomic_load(&g_player), atoi(args[0]) != 0);
        else if (!strcmp(name, "destroy")) {
            CVarnel1_Destory(atomic_exchange(&g_player, NULL));
        } else if (!strcmp(name, "engine_create"))
            engine = CQFFmpegPlayer_Create();
        else if (!strcmp(name, "engine_open"))
            CQFFmpegPlayer_Open(engine, args[0]);
        else if (!strcmp(name, "engine_stop"))
            CQFFmpegPlayer_Stop(engine, atoi(args[0]) != 0);
        else if (!strcmp(name, "engine_destroy")) {
            CQFFmpegPlayer_Destory(engine);
            engine = NULL;
        } else if (!strcmp(name, "wait_pictures"))
            ok = wait_count(&g_pictures, atoi(args[0]), atol(args[1]), argv[i]);
        else if (!strcmp(name, "wait_end"))
            ok = wait_count(&g_ends, 1, atol(args[0]), argv[i]);
        else if (!strcmp(name, "wait_state4"))
            ok = wait_count(&g_state4, 1, atol(args[0]), argv[i]);
        else if (!strcmp(name, "reset")) {
            atomic_store(&g_pictures, 0);
            atomic_store(&g_ends, 0);
            atomic_store(&g_state4, 0);
        } else if (!strcmp(name, "react")) {
            snprintf(g_react_action, sizeof g_react_action, "%s", args[1]);
            atomic_store(&g_react_when, !strcmp(args[0], "pic")   ? REACT_PIC
                                        : !strcmp(args[0], "end") ? REACT_END
                                                                  : REACT_STATE4);
        } else if (!kit_command(name, args, &ok)) {
            fprintf(stderr, "unknown command %s\n", name);
            return 3;
        }
        logf_line("CALL %lld %s %lld\n", t0, name, now_us() - t0);
    }
    /* The process's own CPU time, for the benchmark: a profiler around the host does not
     * count in it. */
    logf_line("EXIT %lld %d %lld\n", now_us(), ok,
              (long long)(clock() * 1000000.0 / CLOCKS_PER_SEC));
    fclose(g_log);
    return ok ? 0 : 2;
}
