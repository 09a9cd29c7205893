#include "platform/periodic_timer.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace platform {

// Shared by the object and its thread, so that the thread can outlive an object deleted from
// inside its own callback.
struct PeriodicTimer::State {
    std::function<void()> callback;
    std::chrono::steady_clock::time_point first;
    std::chrono::steady_clock::duration period;
    std::mutex lock;
    std::condition_variable wake;
    bool stop = false;
    bool held = false;
    std::thread thread;
};

PeriodicTimer::~PeriodicTimer() {
    Delete();
}

bool PeriodicTimer::Create(std::function<void()> callback, uint32_t dueTimeMs, uint32_t periodMs) {
    Delete();
    auto state = std::make_shared<State>();
    state->callback = std::move(callback);
    state->period = std::chrono::milliseconds(periodMs > 0 ? periodMs : 1);
    state->first = std::chrono::steady_clock::now() + std::chrono::milliseconds(dueTimeMs);
    // Stored before the thread starts, so that a first tick which deletes the timer finds it;
    // the thread waits for this lock before its first look, and once it may run, nothing of
    // this object is touched any more (the callback may already have destroyed it).
    std::lock_guard<std::mutex> hold(state->lock);
    {
        std::lock_guard<std::mutex> guard(m_guard);
        m_state = state;
    }
    try {
        state->thread = std::thread(Loop, state);
    } catch (const std::system_error&) {
        std::lock_guard<std::mutex> guard(m_guard);
        m_state.reset();
        return false;
    }
    return true;
}

std::shared_ptr<PeriodicTimer::State> PeriodicTimer::CurrentState() const {
    std::lock_guard<std::mutex> guard(m_guard);
    return m_state;
}

bool PeriodicTimer::Running() const {
    return CurrentState() != nullptr;
}

void PeriodicTimer::Delete() {
    std::shared_ptr<State> state;
    {
        std::lock_guard<std::mutex> guard(m_guard);
        state = std::move(m_state);
    }
    if (!state) return;
    {
        std::lock_guard<std::mutex> hold(state->lock);
        state->stop = true;
    }
    state->wake.notify_all();
    if (state->thread.get_id() == std::this_thread::get_id())
        state->thread.detach();  // ends as the callback in progress returns
    else if (state->thread.joinable())
        state->thread.join();
}

void PeriodicTimer::Hold(bool hold) {
    const std::shared_ptr<State> state = CurrentState();
    if (!state) return;
    {
        std::lock_guard<std::mutex> guard(state->lock);
        state->held = hold;
    }
    if (!hold) state->wake.notify_all();
}

void PeriodicTimer::Loop(std::shared_ptr<State> state) {
    using Clock = std::chrono::steady_clock;
    int64_t tick = 0;
    std::unique_lock<std::mutex> hold(state->lock);
    for (;;) {
        const Clock::time_point deadline = state->first + tick * state->period;
        state->wake.wait_until(hold, deadline, [&] { return state->stop; });
        if (state->stop) return;
        if (Clock::now() < deadline) continue;  // woken early
        if (state->held) {
            state->wake.wait(hold, [&] { return state->stop || !state->held; });
            if (state->stop) return;
            tick = (Clock::now() - state->first) / state->period + 1;
            continue;
        }
        hold.unlock();
        state->callback();
        hold.lock();
        if (state->stop) return;
        // The next deadline still ahead; those already passed are not made up for.
        const Clock::duration behind = Clock::now() - state->first;
        const int64_t due = behind / state->period + 1;
        tick = due > tick + 1 ? due : tick + 1;
    }
}

}  // namespace platform
