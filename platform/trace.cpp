#include "platform/trace.h"

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

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

}  // namespace

void OutputDebugStringA(const char* text) {
    if (text == nullptr) return;
    const std::shared_ptr<const Sink> sink = CurrentSink();
    if (sink) sink->fn(text, sink->user);
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
    std::lock_guard<std::mutex> guard(platform::SinkLock());
    platform::SinkSlot().swap(next);
}
