// Which element's callback the current thread is running: a host that calls back into the
// element from its callback must not be made to wait for the thread it is on.
#pragma once

class CQMediaElement;

namespace element {

inline thread_local const CQMediaElement* t_callbackOf = nullptr;

inline bool InCallbackOf(const CQMediaElement* element) {
    return element != nullptr && t_callbackOf == element;
}

// Marks the thread as running element's callback for its lifetime.
class CallbackScope {
public:
    explicit CallbackScope(const CQMediaElement* element) : m_previous(t_callbackOf) {
        t_callbackOf = element;
    }
    ~CallbackScope() { t_callbackOf = m_previous; }
    CallbackScope(const CallbackScope&) = delete;
    CallbackScope& operator=(const CallbackScope&) = delete;

private:
    const CQMediaElement* m_previous;
};

}  // namespace element
