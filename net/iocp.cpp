#include "net/iocp.h"

#include <thread>

#include "net/socket_async_event_args.h"
#include "platform/sync.h"

namespace QNetwork {

CQIOCP* CQIOCP::m_Instance = nullptr;

CQIOCP& CQIOCP::GetInstance() {
    // The port and its workers belong to the process, not to any object: the instance is
    // never destroyed, so no worker can outlive it during the process's exit.
    static CQIOCP* const instance = [] {
        m_Instance = new CQIOCP();
        return m_Instance;
    }();
    return *instance;
}

CQIOCP::CQIOCP() : m_hIOCP(std::make_unique<platform::CompletionPort>()) {
    const unsigned workers = 2 * platform::ProcessorCount();
    for (unsigned i = 0; i < workers; ++i) std::thread(&CQIOCP::ProcessIO, this).detach();
}

void CQIOCP::Add(platform::SOCKET socket) {
    m_hIOCP->Associate(socket, static_cast<uintptr_t>(socket));
}

uint32_t CQIOCP::ProcessIO(void* instance) {
    platform::CompletionPort& port = *static_cast<CQIOCP*>(instance)->m_hIOCP;
    for (;;) {
        uint32_t bytes = 0;
        uintptr_t key = 0;
        platform::OVERLAPPED* overlapped = nullptr;
        const bool ok =
            port.GetQueuedCompletionStatus(&bytes, &key, &overlapped, platform::INFINITE);
        if (overlapped == nullptr) continue;
        CQSocketAsyncEventArgs& args = *CQSocketAsyncEventArgs::FromOverlapped(overlapped);
        args.m_Error = ok ? 0 : static_cast<uint32_t>(platform::WSAGetLastError());
        args.m_BytesTransferred = bytes;
        args.RaisEvent(nullptr, args);
        // From here on the record's owner may free it (ClearAll waits for this point).
        port.CompletionDelivered();
    }
}

}  // namespace QNetwork
