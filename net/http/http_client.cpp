#include "net/http/http_client.h"

#include <chrono>
#include <cstring>
#include <string>

#include "foundation/memory_stream.h"
#include "net/http/http_request.h"
#include "net/http/http_response.h"
#include "net/http/url.h"
#include "platform/trace.h"

namespace QNetwork::QProtocol::HTTP {
namespace {

constexpr int kBufferSize = 8192;

}  // namespace

CQHttpClient::CQHttpClient()
    : m_pRequest(std::make_unique<CQHttpRequest>()),
      m_pResponse(std::make_unique<CQHttpResponse>()),
      m_pSocket(std::make_unique<CQSocket>()),
      m_msStream(std::make_unique<QIO::CQMemoryStream>()),
      m_pRecvBuffer(std::make_unique<unsigned char[]>(kBufferSize)),
      m_nRecvBufferSize(kBufferSize) {}

CQHttpClient::~CQHttpClient() {
    platform::OutputDebugStringA("CQHttpClient::~CQHttpClient(void)\r\n");
    // An owner that did not close leaves a thread that still uses the socket and the buffer:
    // end it before they go, instead of letting it run into freed memory.
    if (m_hThreadRecv) {
        m_pSocket->Close();
        m_hThreadRecv.reset();  // joins
    }
    if (m_pRecvBuffer) {
        platform::OutputDebugStringA("CQHttpClient::~CQHttpClient(void) 1\r\n");
        m_pRecvBuffer.reset();
        platform::OutputDebugStringA("CQHttpClient::~CQHttpClient(void) 2\r\n");
        platform::OutputDebugStringA("CQHttpClient::~CQHttpClient(void) 3\r\n");
    }
    platform::OutputDebugStringA("CQHttpClient::~CQHttpClient(void) 4\r\n");
    m_pRequest.reset();
    platform::OutputDebugStringA("CQHttpClient::~CQHttpClient(void) 5\r\n");
    m_pResponse.reset();
    platform::OutputDebugStringA("CQHttpClient::~CQHttpClient(void) 6\r\n");
    m_pSocket.reset();
    platform::OutputDebugStringA("CQHttpClient::~CQHttpClient(void)-- \r\n");
}

bool CQHttpClient::Open(const char* url) {
    platform::OutputDebugStringA("-----CQHttpClient::Open-----\r\n");
    {
        std::lock_guard<std::mutex> lock(m_csOpen);
        m_bOpening = true;
    }
    CQURL u;
    u.Parse(url);

    // Each step first looks whether a Close (or Interrupt) has begun: a socket made after the
    // Close took the old one away would otherwise be left for nobody to close.
    const auto request = [&] {
        {
            std::lock_guard<std::mutex> lock(m_csOpen);
            if (m_bInterrupted) return false;
            m_pSocket->Close();
            m_pSocket->OpenTCP();
        }
        if (!m_pSocket->ConnectWithin(u.GetIP(), u.GetPort(), kConnectTimeoutMs)) return false;
        std::string text;
        m_pRequest->Build(u, text);
        m_pSocket->Send(text.data(), static_cast<int>(text.size()));
        return true;
    };
    auto buffer = std::make_unique<unsigned char[]>(kBufferSize);  // zero-filled
    int n = 0;
    int h = -1;
    // Deliberately bounded: a recorder that accepts and never answers would otherwise hold
    // the opening thread, and with it every close, for good. Users get the end of the feed
    // (an end callback) instead of a frozen object.
    const auto head = [&] {
        std::memset(buffer.get(), 0, kBufferSize);
        n = 0;
        if (m_pSocket->WaitReadable(kHeadTimeoutMs) == 1) {
            n = m_pSocket->Receive(buffer.get(), kBufferSize);
        } else if (m_pSocket->GetSocket() != platform::INVALID_SOCKET) {
            platform::TraceF("CQHttpClient: no answer within %d ms\r\n", kHeadTimeoutMs);
            m_pSocket->Close();  // the feed ends at once
        }
        // The head is looked for in this one receive only.
        h = m_pResponse->Parse(buffer.get(), n);
    };
    if (request()) head();
    if (h >= 0 && m_pResponse->GetResponseCode() == 401) {  // answered once; a second 401 is
                                                            // a body
        m_pResponse->GetAuthenticate(m_pRequest->GetRealm(), m_pRequest->GetNonce());
        if (request()) head();
    }

    // Without a complete header block nothing received is body: the bytes are the start of a
    // head that is never completed, so none of them goes to CheckContent.
    if (h >= 0 && n > h) CheckContent(buffer.get() + h, n - h);

    bool started = false;
    {
        std::lock_guard<std::mutex> lock(m_csOpen);
        if (!m_bInterrupted) {
            m_hThreadRecv = std::make_unique<platform::Thread>();
            m_hThreadRecv->Start([this] { Thread_Recv(this); });
            started = true;
        }
    }
    if (!started) RecvEnd();  // closed while opening: the connection has ended all the same
    {
        std::lock_guard<std::mutex> lock(m_csOpen);
        m_bOpening = false;
    }
    m_cvOpen.notify_all();
    platform::OutputDebugStringA("-----CQHttpClient::Open\r\n");
    return true;
}

uint32_t CQHttpClient::Thread_Recv(void* client) {
    CQHttpClient& c = *static_cast<CQHttpClient*>(client);
    for (;;) {
        std::memset(c.m_pRecvBuffer.get(), 0, static_cast<size_t>(c.m_nRecvBufferSize));
        const int n = c.m_pSocket->Receive(c.m_pRecvBuffer.get(), c.m_nRecvBufferSize);
        if (n < 1) break;  // orderly close, failure, or Close from another thread alike
        c.CheckContent(c.m_pRecvBuffer.get(), n);
    }
    c.RecvEnd();
    return 0;
}

void CQHttpClient::Interrupt() {
    {
        std::lock_guard<std::mutex> lock(m_csOpen);
        m_bInterrupted = true;
    }
    // Wakes a connect, a wait for the head or a receive under way.
    m_pSocket->Close();
}

bool CQHttpClient::Closing() const {
    std::lock_guard<std::mutex> lock(m_csOpen);
    return m_bInterrupted;
}

bool CQHttpClient::Close() {
    platform::OutputDebugStringA("-----CQHttpClient::Close-----\r\n");
    Interrupt();
    std::unique_ptr<platform::Thread> thread;
    {
        // An Open under way on another thread sees the interruption at its next step and
        // returns without starting the receive thread; it is waited for, so that nothing of
        // it runs once Close has returned.
        std::unique_lock<std::mutex> lock(m_csOpen);
        m_cvOpen.wait(lock, [this] { return !m_bOpening; });
        thread = std::move(m_hThreadRecv);
    }
    if (thread) thread->Join();
    {
        std::lock_guard<std::mutex> lock(m_csOpen);
        m_bInterrupted = false;
    }
    platform::OutputDebugStringA("-----CQHttpClient::Close\r\n");
    return true;
}

bool CQHttpClient::Reopen(const char* url, const std::function<void()>& between) {
    std::unique_ptr<platform::Thread> thread;
    {
        // Marked as an Open under way from here, so that a Close waits for all of it.
        std::unique_lock<std::mutex> lock(m_csOpen);
        m_cvOpen.wait(lock, [this] { return !m_bOpening; });
        if (m_bInterrupted) return false;
        m_bOpening = true;
        thread = std::move(m_hThreadRecv);
    }
    m_pSocket->Close();  // wakes the receive thread
    if (thread) thread->Join();
    bool interrupted;
    {
        std::lock_guard<std::mutex> lock(m_csOpen);
        interrupted = m_bInterrupted;
    }
    if (!interrupted && between) between();
    Open(url);  // ends at once when interrupted meanwhile; clears the mark either way
    return !interrupted;
}

bool CQHttpClient::RecvEnd() {
    return true;
}

void CQHttpClient::CheckContent(unsigned char*, int) {}

void CQHttpClient::RecvAsync(void*, const CQSocketAsyncEventArgs& args) {
    if (args.m_BytesTransferred == 0) {
        platform::OutputDebugStringA("\r\n");
        return;
    }
    CheckContent(reinterpret_cast<unsigned char*>(args.m_Buffer.buf),
                 static_cast<int>(args.m_BytesTransferred));
    std::memset(args.m_Buffer.buf, 0, args.m_Buffer.len);
}

}  // namespace QNetwork::QProtocol::HTTP
