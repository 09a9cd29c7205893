#include "net/http/http_client.h"

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
        m_hThreadRecv.reset();
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
    CQURL u;
    u.Parse(url);

    const auto request = [&] {
        m_pSocket->Close();
        m_pSocket->OpenTCP();
        m_pSocket->Connect(u.GetIP(), u.GetPort());
        std::string text;
        m_pRequest->Build(u, text);
        m_pSocket->Send(text.data(), static_cast<int>(text.size()));
    };
    auto buffer = std::make_unique<unsigned char[]>(kBufferSize);  // zero-filled
    request();
    int n = m_pSocket->Receive(buffer.get(), kBufferSize);
    int h = m_pResponse->Parse(buffer.get(), n);

    if (m_pResponse->GetResponseCode() == 401) {  // answered once; a second 401 is a body
        m_pResponse->GetAuthenticate(m_pRequest->GetRealm(), m_pRequest->GetNonce());
        request();
        std::memset(buffer.get(), 0, kBufferSize);
        n = m_pSocket->Receive(buffer.get(), kBufferSize);
        h = m_pResponse->Parse(buffer.get(), n);
    }

    // Without a complete header block (h = -1) nothing of the first receive is body: the bytes
    // are the start of a head that is never completed, so none of them goes to CheckContent.
    if (h >= 0 && n > h) CheckContent(buffer.get() + h, n - h);

    m_hThreadRecv = std::make_unique<platform::Thread>();
    m_hThreadRecv->Start([this] { Thread_Recv(this); });
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

bool CQHttpClient::Close() {
    platform::OutputDebugStringA("-----CQHttpClient::Close-----\r\n");
    m_pSocket->Close();
    if (m_hThreadRecv) {
        m_hThreadRecv->Join();
        m_hThreadRecv.reset();
    }
    platform::OutputDebugStringA("-----CQHttpClient::Close\r\n");
    return true;
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
