// An event: a list of callables raised in the order they were added, under a lock of its own.
#pragma once
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/sync.h"

namespace QEvent {

template <typename Sender, typename Args>
class CQEvenHandler {
public:
    using Handler = std::function<void(Sender, Args)>;

    CQEvenHandler() : m_pLock(std::make_unique<platform::CriticalSection>()) {}
    // A copy takes the other's handlers but keeps a lock of its own.
    CQEvenHandler(const CQEvenHandler& other)
        : m_Handlers(other.CopyHandlers()),
          m_pLock(std::make_unique<platform::CriticalSection>()) {}
    CQEvenHandler& operator=(const CQEvenHandler& other) {
        if (this != &other) {
            std::vector<Handler> handlers = other.CopyHandlers();
            std::lock_guard<platform::CriticalSection> guard(*m_pLock);
            m_Handlers = std::move(handlers);
        }
        return *this;
    }
    virtual ~CQEvenHandler() = default;

    // Calls every handler in list order while holding the lock, so ClearAll from another
    // thread waits until the call is over. An empty handler slot throws std::bad_function_call.
    // A handler must not clear the list it is called from.
    void RaisEvent(Sender sender, Args args) {
        std::lock_guard<platform::CriticalSection> guard(*m_pLock);
        for (const Handler& h : m_Handlers) h(sender, args);
    }

    void ClearAll() {
        std::lock_guard<platform::CriticalSection> guard(*m_pLock);
        m_Handlers.clear();
    }

    // Appends a handler under the lock; owners that set up the list before any raise may also
    // append to m_Handlers directly.
    void Add(Handler handler) {
        std::lock_guard<platform::CriticalSection> guard(*m_pLock);
        m_Handlers.push_back(std::move(handler));
    }

    std::vector<Handler> m_Handlers;

protected:
    std::vector<Handler> CopyHandlers() const {
        std::lock_guard<platform::CriticalSection> guard(*m_pLock);
        return m_Handlers;
    }

    std::unique_ptr<platform::CriticalSection> m_pLock;
};

}  // namespace QEvent
