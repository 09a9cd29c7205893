/* What the C test hosts share: the log they write, the clock they stamp it with, picture
 * hashes and waits with a deadline. A host includes this once; it sees the public header only. */
#ifndef VARNEL_TESTS_HOST_KIT_H
#define VARNEL_TESTS_HOST_KIT_H

#include <stdarg.h>
#include <stdatomic.h>
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
    deadline.tv_sec += ms / 1000;
    deadline.tv_nsec += (ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    mtx_lock(&g_count_lock);
    int reached = 1;
    while (atomic_load(counter) < n) {
        if (cnd_timedwait(&g_count_changed, &g_count_lock, &deadline) == thrd_timedout &&
            atomic_load(counter) < n) {
            reached = 0;
            break;
        }
    }
    mtx_unlock(&g_count_lock);
    if (!reached) {
        logf_line("TIMEOUT %lld %s\n", now_us(), what);
        fprintf(stderr, "timed out: %s\n", what);
    }
    return reached;
}

static atomic_llong g_last_event; /* time of the last callback */
static atomic_int g_hash;         /* hash the pictures in the callbacks */

/* Cuts a command "NAME:A:B..." at its colons into args (pointing into cmd, "0" for those not
 * given). The value of a set: command takes the rest, ':' included (URLs). */
static void kit_split(char* cmd, char* args[6]) {
    const int max = strncmp(cmd, "set:", 4) == 0 ? 2 : 6;
    int n = 0;
    for (char* p = cmd; *p != '\0' && n < max; ++p)
        if (*p == ':') {
            *p = '\0';
            args[n++] = p + 1;
        }
    for (int k = n; k < 6; ++k) args[k] = "0";
}

/* The commands every host takes: sleep:MS, wait_quiet:MS (until no callback has come for MS),
 * checkpoint:NAME (print "CHECKPOINT NAME", wait for a line on standard input), mark:TEXT,
 * hash:0|1. 1 when name is one of them; *ok is cleared when one fails. */
static int kit_command(const char* name, char* args[6], int* ok) {
    if (!strcmp(name, "sleep"))
        sleep_ms(atol(args[0]));
    else if (!strcmp(name, "wait_quiet"))
        while (now_us() - atomic_load(&g_last_event) < atol(args[0]) * 1000LL) sleep_ms(5);
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

/* Starts the clock and the log at path, and sends the library's traces to sink. 0 when the
 * log cannot be written. */
static int host_start(const char* path, varnel_trace_sink sink) {
    clock_gettime(CLOCK_MONOTONIC, &g_start);
    mtx_init(&g_lock, mtx_plain);
    mtx_init(&g_count_lock, mtx_plain);
    cnd_init(&g_count_changed);
    g_log = fopen(path, "w");
    if (g_log == NULL) return 0;
    varnel_set_trace_sink(sink, NULL);
    return 1;
}

#endif
