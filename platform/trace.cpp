#include "platform/trace.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "varnel/varnel.h"

namespace platform {
namespace {

struct Sink {
    varnel_trace_sink fn;
    void* user;
};

// The lock guards only the copy of the pointer: the sink is called without any lock of ours,
// so a trace waits for the sink itself, never for another thread's call into a slow sink.
std::mutex& SinkLock() {
    static std::mutex lock;
    return lock;
}

std::shared_ptr<const Sink>& SinkSlot() {
    static std::shared_ptr<const Sink> sink;
    return sink;
}

std::shared_ptr<const Sink> CurrentSink() {
    std::lock_guard<std::mutex> guard(SinkLock());
    return SinkSlot();
}

// Set while this thread is inside the host's sink: replacing the sink from there must not wait
// for the very call it is made from.
thread_local bool t_inSink = false;

}  // namespace

void OutputDebugStringA(const char* text) {
    if (text == nullptr) return;
    const std::shared_ptr<const Sink> sink = CurrentSink();
    if (!sink) return;
    const bool outer = !t_inSink;
    t_inSink = true;
    sink->fn(text, sink->user);
    if (outer) t_inSink = false;
}

void TraceF(const char* format, ...) {
    if (!CurrentSink()) return;
    char small[512];
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (n < 0) {
        va_end(copy);
        return;
    }
    if (static_cast<size_t>(n) < sizeof small) {
        va_end(copy);
        OutputDebugStringA(small);
        return;
    }
    std::string big(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(big.data(), big.size(), format, copy);
    va_end(copy);
    OutputDebugStringA(big.c_str());
}

}  // namespace platform

extern "C" void varnel_set_trace_sink(varnel_trace_sink sink, void* user) {
    using platform::Sink;
    std::shared_ptr<const Sink> next;
    if (sink != nullptr) next = std::make_shared<const Sink>(Sink{sink, user});
    {
        std::lock_guard<std::mutex> guard(platform::SinkLock());
        platform::SinkSlot().swap(next);
    }
    // The calls into the sink replaced end before this returns, so that a host may then free
    // what its sink used (close its log, say) while the library's threads go on: one ending an
    // object destroyed from its own callback may still be tracing as the host leaves.
    if (platform::t_inSink) return;
    while (next && next.use_count() > 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}
