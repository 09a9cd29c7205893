// Events, waits, critical sections and threads with the semantics of their Windows namesakes.
#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace platform {

constexpr uint32_t INFINITE = 0xFFFFFFFF;
constexpr uint32_t WAIT_OBJECT_0 = 0;
constexpr uint32_t WAIT_TIMEOUT = 258;
constexpr uint32_t WAIT_FAILED = 0xFFFFFFFF;

class Event {
public:
    // A manual-reset event stays signalled until Reset; an auto-reset event releases one
    // waiter and becomes non-signalled again.
    Event(bool manualReset, bool initialState);
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Set();
    void Reset();
    bool IsSet() const;

private:
    friend uint32_t WaitForMultipleObjects(uint32_t, Event* const*, bool,
                                           std::chrono::steady_clock::time_point);
    struct Waiter;
    bool manual_;
    bool signaled_;
    std::vector<Waiter*> waiters_;
};

// Wait-any returns WAIT_OBJECT_0 + the lowest index of a signalled event (consuming an
// auto-reset one); wait-all returns WAIT_OBJECT_0 once all are signalled at the same time.
uint32_t WaitForMultipleObjects(uint32_t count, Event* const* events, bool waitAll,
                                uint32_t milliseconds);
uint32_t WaitForSingleObject(Event& event, uint32_t milliseconds);
// The same with a deadline to the microsecond, for waits that time work, where a whole
// millisecond would be a visible error; time_point::max() waits without end.
uint32_t WaitForMultipleObjects(uint32_t count, Event* const* events, bool waitAll,
                                std::chrono::steady_clock::time_point deadline);

// Recursive, like a Windows critical section; usable with std::lock_guard.
class CriticalSection {
public:
    void lock() { mutex_.lock(); }
    void unlock() { mutex_.unlock(); }
    bool try_lock() { return mutex_.try_lock(); }
    void Enter() { lock(); }
    void Leave() { unlock(); }

private:
    std::recursive_mutex mutex_;
};

// A thread with exactly one owner. The destructor joins a thread still running, so no thread
// outlives the object that started it.
// Marks the calling thread as a throughput thread (decoding): it keeps its share of the
// processors, but a latency thread waking up (a clock tick due now) is not kept waiting behind
// it. Nothing happens where the system has no such distinction.
void MarkThroughputThread();

class Thread {
public:
    Thread() = default;
    ~Thread() { Join(); }
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    void Start(std::function<void()> body);
    // Called from the thread itself it detaches instead, since a thread cannot wait for its end.
    void Join();
    bool Running() const { return thread_.joinable(); }
    bool IsCurrent() const { return thread_.get_id() == std::this_thread::get_id(); }

private:
    std::thread thread_;
};

}  // namespace platform
