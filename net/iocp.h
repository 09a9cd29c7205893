// The process-wide completion port: 2 x (number of processors) worker threads wait on it and
// turn every completed operation into its CQSocketAsyncEventArgs event.
#pragma once
#include <memory>

#include "platform/completion_port.h"
#include "platform/socket.h"

namespace QNetwork {

class CQIOCP {
public:
    // Created on first use, race-free, and kept with its workers until the process ends.
    static CQIOCP& GetInstance();

    CQIOCP(const CQIOCP&) = delete;
    CQIOCP& operator=(const CQIOCP&) = delete;

    // Ties a socket to the port; a failure is ignored.
    void Add(platform::SOCKET socket);

    // The worker loop: never returns.
    static uint32_t ProcessIO(void* instance);

private:
    CQIOCP();
    ~CQIOCP() = delete;  // the workers wait on the port for the life of the process

    std::unique_ptr<platform::CompletionPort> m_hIOCP;
    static CQIOCP* m_Instance;
};

}  // namespace QNetwork
