// What one tick of the media clock's 1 ms timer costs the process when the tick has nothing
// to do: the floor under the element's CPU per picture, which the ticks add whatever the
// pictures cost (ten ticks a picture at four channels of 25 fps).
//
// usage: bench_tick_cost [SECONDS]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "platform/periodic_timer.h"

namespace {
double ProcessCpuSeconds() {
    return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}
}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    std::atomic<long> ticks{0};
    platform::PeriodicTimer timer;
    const double before = ProcessCpuSeconds();
    if (!timer.Create([&ticks] { ++ticks; }, 0, 1)) return 1;
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    timer.Delete();
    const double cpu = ProcessCpuSeconds() - before;
    std::printf("%ld ticks in %d s, CPU %.3f s: %.1f us a tick, %.2f %% of a core\n", ticks.load(),
                seconds, cpu, ticks > 0 ? cpu / ticks * 1e6 : 0.0, cpu / seconds * 100);
    return 0;
}
