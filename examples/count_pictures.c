/* Plays four seconds of camera 1 from the recorder at 127.0.0.1:PORT (argv[1]), counts the
 * pictures and prints the time of the last one. */
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <threads.h>
#include <time.h>
#include <varnel/varnel.h>

static atomic_int pictures, ended;
static atomic_llong last; /* frame time: 100 ns units from 0001-01-01 */

static void on_frame(int32_t zero, int32_t state, double position, FrameInfo* frame) {
    (void)zero, (void)state, (void)position;
    if (frame != NULL) atomic_store(&last, frame->FrameTime), atomic_fetch_add(&pictures, 1);
}
static void on_end(int32_t zero, int32_t feed_state, int32_t zero2) {
    (void)zero, (void)feed_state, (void)zero2;
    atomic_store(&ended, 1); /* after the last picture */
}

int main(int argc, char** argv) {
    StreamSetting s = {.IP = "127.0.0.1", .Key = 1, .SaveFolder = "/tmp", .NoAudio = 1};
    s.Port = argc > 1 ? atoi(argv[1]) : 8554, s.Orientation = 1;
    s.BeginTime = (StreamSettingTime){2024, 1, 1, 0, 0, 0, 0};
    s.EndTime = (StreamSettingTime){2024, 1, 1, 0, 0, 4, 0};
    s.FrameCallback = on_frame, s.EndCallback = on_end;
    CVarnel1* player = CVarnel1_Create(0, 1);
    CVarnel1_Open1(player, &s);
    while (!atomic_load(&ended)) thrd_sleep(&(struct timespec){.tv_nsec = 10000000}, NULL);
    CVarnel1_Close(player, true);
    CVarnel1_Destory(player);
    time_t t = (time_t)(atomic_load(&last) / 10000000 - 62135596800); /* year 1 to 1970 */
    char text[32];
    strftime(text, sizeof text, "%Y/%m/%d %H:%M:%S", gmtime(&t));
    printf("%d pictures, the last at %s\n", atomic_load(&pictures), text);
    return atomic_load(&pictures) > 0 ? 0 : 1;
}
