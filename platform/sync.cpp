#include "platform/sync.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>

namespace platform {
namespace {

// One lock for every event: waits on several events at once then need no lock ordering, and
// the few hundred signals per second of a playback engine never contend in practice.
std::mutex& EventLock() {
    static std::mutex lock;
    return lock;
}

}  // namespace

struct Event::Waiter {
    std::condition_variable cv;
};

Event::Event(bool manualReset, bool initialState) : manual_(manualReset), signaled_(initialState) {}

Event::~Event() = default;

void Event::Set() {
    std::lock_guard<std::mutex> guard(EventLock());
    signaled_ = true;
    for (Waiter* w : waiters_) w->cv.notify_one();
}

void Event::Reset() {
    std::lock_guard<std::mutex> guard(EventLock());
    signaled_ = false;
}

bool Event::IsSet() const {
    std::lock_guard<std::mutex> guard(EventLock());
    return signaled_;
}

uint32_t WaitForMultipleObjects(uint32_t count, Event* const* events, bool waitAll,
                                std::chrono::steady_clock::time_point deadline) {
    using Clock = std::chrono::steady_clock;
    if (count == 0 || events == nullptr) return WAIT_FAILED;
    std::unique_lock<std::mutex> lock(EventLock());
    Event::Waiter waiter;
    bool registered = false;
    bool lastLook = deadline <= Clock::now();
    uint32_t result = WAIT_TIMEOUT;
    for (;;) {
        if (waitAll) {
            if (std::all_of(events, events + count, [](Event* e) { return e->signaled_; })) {
                for (uint32_t i = 0; i < count; ++i)
                    if (!events[i]->manual_) events[i]->signaled_ = false;
                result = WAIT_OBJECT_0;
                break;
            }
        } else {
            uint32_t i = 0;
            while (i < count && !events[i]->signaled_) ++i;
            if (i < count) {
                if (!events[i]->manual_) events[i]->signaled_ = false;
                result = WAIT_OBJECT_0 + i;
                break;
            }
        }
        if (lastLook) break;
        if (!registered) {
            for (uint32_t i = 0; i < count; ++i) events[i]->waiters_.push_back(&waiter);
            registered = true;
        }
        if (deadline == Clock::time_point::max()) {
            waiter.cv.wait(lock);
        } else if (waiter.cv.wait_until(lock, deadline) == std::cv_status::timeout &&
                   Clock::now() >= deadline) {
            lastLook = true;  // one last look at the events, then time out
        }
    }
    if (registered) {
        for (uint32_t i = 0; i < count; ++i) {
            auto& ws = events[i]->waiters_;
            ws.erase(std::remove(ws.begin(), ws.end(), &waiter), ws.end());
        }
    }
    return result;
}

uint32_t WaitForMultipleObjects(uint32_t count, Event* const* events, bool waitAll,
                                uint32_t milliseconds) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = milliseconds == INFINITE
                                           ? Clock::time_point::max()
                                           : Clock::now() + std::chrono::milliseconds(milliseconds);
    return WaitForMultipleObjects(count, events, waitAll, deadline);
}

uint32_t WaitForSingleObject(Event& event, uint32_t milliseconds) {
    Event* one = &event;
    return WaitForMultipleObjects(1, &one, false, milliseconds);
}

void MarkThroughputThread() {
    // SCHED_BATCH keeps the thread's nice value and so its share of the processors against
    // other processes; it only gives up the wake-up preference, which any user may do.
    sched_param param{};
    pthread_setschedparam(pthread_self(), SCHED_BATCH, &param);
}

void Thread::Start(std::function<void()> body) {
    Join();
    thread_ = std::thread(std::move(body));
}

void Thread::Join() {
    if (!thread_.joinable()) return;
    if (IsCurrent()) {
        // The owner is being torn down from its own thread, which ends right after.
        thread_.detach();
        return;
    }
    thread_.join();
}

}  // namespace platform
