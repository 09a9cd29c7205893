#include "foundation/reaper.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace foundation {
namespace {

class Reaper {
public:
    Reaper() : thread_([this] { Run(); }) {}
    // At the end of the process: what is queued is still released, then the thread is joined.
    ~Reaper() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    Reaper(const Reaper&) = delete;
    Reaper& operator=(const Reaper&) = delete;

    void Add(std::function<void()> job) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            jobs_.push_back(std::move(job));
        }
        changed_.notify_all();
    }

private:
    void Run() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            if (jobs_.empty()) return;  // stopping, and nothing left
            std::function<void()> job = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            job();
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> jobs_;
    bool stopping_ = false;
    std::thread thread_;  // last: starts once the members it uses exist
};

}  // namespace

void ReleaseLater(std::function<void()> job) {
    static Reaper reaper;
    reaper.Add(std::move(job));
}

}  // namespace foundation
