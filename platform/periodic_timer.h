// A periodic timer with the semantics of a Windows timer-queue timer as the media clock uses
// one: a due time, a period, a callback on a thread of its own, and a deletion that waits for
// a callback in progress. Its operations may be called from several threads at once.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace platform {

class PeriodicTimer {
public:
    PeriodicTimer() = default;
    // Deletes a running timer (see Delete).
    ~PeriodicTimer();
    PeriodicTimer(const PeriodicTimer&) = delete;
    PeriodicTimer& operator=(const PeriodicTimer&) = delete;

    // Calls callback on a thread of the timer's own, first dueTimeMs after this call, then
    // every periodMs (at least 1). Ticks fall on absolute deadlines (the n-th at start + due
    // + n * period), so a late tick does not push the following ones back and the ticks do
    // not drift; a tick more than a period late is dropped rather than delivered in a burst
    // behind the late one. One callback runs at a time. A running timer is deleted first.
    // False when the thread cannot be started.
    bool Create(std::function<void()> callback, uint32_t dueTimeMs, uint32_t periodMs);

    // Stops the ticks. From any other thread it returns once a callback in progress has
    // returned, so that whatever the callback uses may be freed afterwards. From inside the
    // callback it cannot wait for itself: it returns at once, the running callback is the
    // last, and the timer's thread ends as that callback returns, without touching this
    // object again (the callback may even destroy it).
    void Delete();
    bool Running() const;

    // Holds the ticks back (true) until released (false), so that a timer with nothing to do
    // for a while costs no wake-ups. Released, the ticks go on at the next deadline of the
    // series; those in between are not delivered. May be called from inside the callback.
    void Hold(bool hold);

private:
    struct State;
    static void Loop(std::shared_ptr<State> state);
    std::shared_ptr<State> CurrentState() const;
    // Guards m_state only, so that Hold from the timer's own thread may meet a Delete.
    mutable std::mutex m_guard;
    std::shared_ptr<State> m_state;
};

}  // namespace platform
