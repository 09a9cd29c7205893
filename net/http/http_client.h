// An HTTP/1.1 client that sends one GET (answering one 401 challenge with authorization on a
// new connection) and then hands an endless response body to its subclass: every block of body
// bytes goes to CheckContent in arrival order, and RecvEnd runs once when the connection ends.
//
// Threads: CheckContent first runs on the thread that calls Open (the body bytes that came with
// the response head), then on the receive thread for every later block; RecvEnd runs on the
// receive thread. The client's lock guards only its opening and closing; the subclass guards
// its own state. Close and Interrupt may be called from any other thread, also while Open is
// under way there, but never from inside CheckContent or RecvEnd.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "net/socket.h"
#include "net/socket_async_event_args.h"
#include "platform/sync.h"

namespace QIO {
class CQMemoryStream;
}

namespace QNetwork::QProtocol::HTTP {

class CQHttpRequest;
class CQHttpResponse;

class CQHttpClient {
public:
    CQHttpClient();
    // A client owns its connection, its thread and its buffers: it is not copied.
    CQHttpClient(const CQHttpClient&) = delete;
    CQHttpClient& operator=(const CQHttpClient&) = delete;
    // Does not stop the receive thread: the owner calls Close first.
    virtual ~CQHttpClient();

    // A connection attempt, and then the wait for the response head, each end after this long.
    static constexpr int kConnectTimeoutMs = 10000;
    static constexpr int kHeadTimeoutMs = 10000;

    // Connects, sends the request, hands the body bytes of the first answer to CheckContent
    // and starts the receive thread. Always true: failures (no connection, no head within
    // kHeadTimeoutMs, an Interrupt or Close meanwhile) show as a connection that ends at once
    // (no CheckContent, one RecvEnd). Close before opening again.
    bool Open(const char* url);
    // Closes the socket (waking a connect, a wait or a receive under way), waits for an Open
    // under way on another thread to return and for the receive thread to end. Afterwards the
    // client can be opened again. Always true, also when nothing is open.
    virtual bool Close();
    // Ends the connection, waits for its receive thread, calls between (no receive thread
    // running, no Open under way) and opens url in its place. False, and nothing opened or
    // called, when an Interrupt or a Close has begun; a Close that begins meanwhile waits for
    // it. Not from CheckContent or RecvEnd.
    bool Reopen(const char* url, const std::function<void()>& between);
    // Ends an Open under way at once and makes every Open until the next Close end at once;
    // does not wait. For an owner that must stop a thread blocked in Open before it can join it.
    void Interrupt();

protected:
    // True from an Interrupt or the start of a Close until that Close has ended.
    bool Closing() const;
    // Called once on the receive thread when the connection delivers no more data.
    virtual bool RecvEnd();
    // Called with every block of body bytes, in arrival order. The bytes are the client's own
    // receive buffer: consume or copy them before returning.
    virtual void CheckContent(unsigned char* data, int count);

    static uint32_t Thread_Recv(void* client);
    // A completion handler for asynchronous receives; nothing in the library registers it.
    void RecvAsync(void* sender, const CQSocketAsyncEventArgs& args);

    std::unique_ptr<CQHttpRequest> m_pRequest;
    std::unique_ptr<CQHttpResponse> m_pResponse;
    // The connected socket: after Open the subclass may send on it (commands to the server).
    std::unique_ptr<CQSocket> m_pSocket;
    std::unique_ptr<platform::Thread> m_hThreadRecv;  // null until Open starts the thread
    std::unique_ptr<QIO::CQMemoryStream> m_msStream;  // not used by the client itself
    std::unique_ptr<unsigned char[]> m_pRecvBuffer;
    int m_nRecvBufferSize;

private:
    mutable std::mutex m_csOpen;
    std::condition_variable m_cvOpen;
    bool m_bOpening = false;
    bool m_bInterrupted = false;
};

}  // namespace QNetwork::QProtocol::HTTP
