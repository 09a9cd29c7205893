// The record of one asynchronous socket operation; it is itself the event that announces the
// operation's completion.
#pragma once
#include <cstdint>

#include "net/event_handler.h"
#include "platform/completion_port.h"

namespace QNetwork {

class CQSocketAsyncEventArgs;
using CQSocketAsyncEventHandler = QEvent::CQEvenHandler<void*, const CQSocketAsyncEventArgs&>;

// Keep the record in place while an operation is pending: the completion port finds it again
// through the owner pointer stored right after the operation block. Once the socket is closed
// and ClearAll has returned, nothing touches the record again: ClearAll drops the completions
// of the record still queued (the aborted ones a close leaves behind) and waits for a handler
// call that is still returning on a worker thread. The destructor does the same.
class CQSocketAsyncEventArgs : public CQSocketAsyncEventHandler {
public:
    CQSocketAsyncEventArgs();
    // A copy takes the handlers and the members; its owner pointer still names the original,
    // as the operation block it came from did.
    CQSocketAsyncEventArgs(const CQSocketAsyncEventArgs& other) = default;
    CQSocketAsyncEventArgs& operator=(const CQSocketAsyncEventArgs& other) = default;
    ~CQSocketAsyncEventArgs() override;

    // Removes the handlers; see above for what it waits for. Not from inside a handler of this
    // record.
    void ClearAll();

    void SetBuffer(void* buffer, int length);

    // The record whose operation block this is (the completion port's way back to it).
    static CQSocketAsyncEventArgs* FromOverlapped(platform::OVERLAPPED* overlapped);

    uint32_t m_BytesTransferred;  // written by the completion worker
    platform::WSABUF m_Buffer;
    uint32_t m_Flags;
    platform::OVERLAPPED m_Overlapped;
    CQSocketAsyncEventArgs* m_Owner;  // must directly follow m_Overlapped
    uint32_t m_Error;                 // error of a failed completion, 0 otherwise
};

}  // namespace QNetwork
