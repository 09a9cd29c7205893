// One IPv4 TCP socket with blocking and asynchronous (completion port) operations. Failures are
// printed as wide text on the standard output and otherwise swallowed: the results of most
// operations are true whatever happened, and a failed connect shows only in later receives.
#pragma once
#include <atomic>
#include <memory>

#include "net/socket_async_event_args.h"
#include "platform/socket.h"

namespace QNetwork {

enum ShuntdownTyps { ShuntdownTyps_Both = 0, ShuntdownTyps_Receive = 1, ShuntdownTyps_Send = 2 };

class CQSocket {
public:
    CQSocket();
    // Adopts an open socket handle.
    explicit CQSocket(platform::SOCKET socket);
    CQSocket(const CQSocket&) = delete;
    CQSocket& operator=(const CQSocket&) = delete;
    virtual ~CQSocket();

    bool OpenTCP();
    // The host must be a dotted IPv4 address: names are not resolved. A Close from another
    // thread ends a connect under way at once.
    bool Connect(const char* host, int port);
    // The same within timeoutMs; false (and the socket closed) when it failed or timed out.
    bool ConnectWithin(const char* host, int port, int timeoutMs);
    // 1 when data (or the peer's close) is waiting, 0 after timeoutMs, -1 without a socket, on
    // failure, or when Close is called meanwhile from another thread.
    int WaitReadable(int timeoutMs);
    // An empty host binds to the first IPv4 address of this host's name.
    bool Bind(const char* host, int port);
    // Listens with a backlog of 100 whatever is asked.
    bool Listen(int backlog);
    // The accepted connection, or null when accepting fails.
    std::unique_ptr<CQSocket> Accept();

    // 0 without a socket, else the socket layer's result (bytes, 0 at orderly close, -1).
    int Receive(void* buffer, int length);
    int Send(const void* buffer, int length);

    // Start one operation on a socket tied to the completion port (CQIOCP::Add); its result
    // arrives as the args' event. 0 without a socket.
    int ReceiveAsync(CQSocketAsyncEventArgs& args);
    int SendAsync(CQSocketAsyncEventArgs& args);
    bool AcceptAsync(CQSocketAsyncEventArgs& args);

    bool Shuntdown(ShuntdownTyps how);
    // May be called from another thread than one blocked in Receive on this socket: that
    // receive then returns 0 or -1.
    bool Close();

    platform::SOCKET GetSocket() const { return m_Socket.load(); }
    bool IsSync() const { return m_bSync.load(); }

protected:
    // About the time the system itself gives a connection attempt.
    static constexpr int kConnectForeverMs = 127000;

    // Closes s after a failed call, unless a Close from another thread has taken it already.
    void Discard(platform::SOCKET s);

    // Keeps the handle in use by a blocking call from being closed (and its number reused by a
    // new socket) before that call has returned.
    class InUse;

    std::atomic<bool> m_bSync;
    std::atomic<platform::SOCKET> m_Socket;
    std::atomic<int> m_nUsers{0};  // blocking calls under way on the handle
};

}  // namespace QNetwork
