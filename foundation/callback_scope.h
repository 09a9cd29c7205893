// Which object's host callback the calling thread is running. A host may call back into the
// object from its callback; such a call must not wait for the thread it is made on, so the
// object needs to tell it apart.
#pragma once

namespace foundation {

// Marks the thread as running a callback of owner for the scope's lifetime. One mark per
// kind of owner; scopes nest.
template <typename Owner>
class CallbackScope {
public:
    explicit CallbackScope(const Owner* owner) : m_previous(Current()) { Current() = owner; }
    ~CallbackScope() { Current() = m_previous; }
    CallbackScope(const CallbackScope&) = delete;
    CallbackScope& operator=(const CallbackScope&) = delete;

    // True on a thread inside a callback of owner.
    static bool Inside(const Owner* owner) { return owner != nullptr && Current() == owner; }

private:
    static const Owner*& Current() {
        thread_local const Owner* current = nullptr;
        return current;
    }

    const Owner* m_previous;
};

}  // namespace foundation
