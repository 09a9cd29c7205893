#include "net/socket.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <string>
#include <thread>

namespace QNetwork {
namespace {

constexpr uint16_t kWinsockVersion = 0x0202;

// The socket messages are wide text. A host that has already made the standard output wide
// gets them as such; otherwise they go out as bytes, so that printing them never turns the
// host's byte-oriented output into a wide one (which would silence its later printf calls).
void PrintWide(const wchar_t* format, ...) {
    wchar_t text[256];
    va_list args;
    va_start(args, format);
    const int n = std::vswprintf(text, sizeof text / sizeof text[0], format, args);
    va_end(args);
    if (n < 0) return;
    if (std::fwide(stdout, 0) > 0) {
        std::fputws(text, stdout);
    } else {
        std::string bytes;
        for (const wchar_t* p = text; *p != 0; ++p)
            bytes.push_back(*p < 0x80 ? static_cast<char>(*p) : '?');
        std::fputs(bytes.c_str(), stdout);
    }
    std::fflush(stdout);
}

long LastError() {
    return platform::WSAGetLastError();
}

}  // namespace

class CQSocket::InUse {
public:
    // Counted before the handle is read: Close, which first takes the handle away, then either
    // sees the count or this call sees no handle.
    explicit InUse(CQSocket& s) : users_(s.m_nUsers) {
        users_.fetch_add(1);
        socket = s.m_Socket.load();
    }
    ~InUse() { users_.fetch_sub(1); }
    InUse(const InUse&) = delete;
    InUse& operator=(const InUse&) = delete;

    platform::SOCKET socket;

private:
    std::atomic<int>& users_;
};

CQSocket::CQSocket() : m_bSync(true), m_Socket(platform::INVALID_SOCKET) {
    if (platform::WSAStartup(kWinsockVersion) != 0) PrintWide(L"Error at WSAStartup\n");
}

CQSocket::CQSocket(platform::SOCKET socket) : m_bSync(true), m_Socket(socket) {}

CQSocket::~CQSocket() {
    Close();
}

bool CQSocket::OpenTCP() {
    Close();  // a handle still open would otherwise be lost
    for (int attempt = 0; attempt < 2; ++attempt) {
        const platform::SOCKET s = platform::CreateSocket(
            platform::AddressFamilyInet, platform::SocketTypeStream, platform::ProtocolTcp);
        if (s != platform::INVALID_SOCKET) {
            m_Socket = s;
            return true;
        }
        PrintWide(L"socket function failed with error: %ld\n", LastError());
        platform::WSACleanup();
        if (platform::WSAStartup(kWinsockVersion) != 0) PrintWide(L"Error at WSAStartup\n");
    }
    PrintWide(L"socket function failed with error: %ld\n", LastError());
    return true;
}

bool CQSocket::Connect(const char* host, int port) {
    // As long as the system itself would try; a Close from another thread ends it at once.
    ConnectWithin(host, port, kConnectForeverMs);
    return true;
}

bool CQSocket::ConnectWithin(const char* host, int port, int timeoutMs) {
    const InUse use(*this);
    const platform::SOCKET s = use.socket;
    if (s == platform::INVALID_SOCKET) return false;
    const auto closed = [this, s] { return m_Socket.load() != s; };
    if (platform::ConnectSocketWithin(s, platform::InetAddr(host), static_cast<uint16_t>(port),
                                      timeoutMs, closed) == 0)
        return true;
    PrintWide(L"connect function failed with error: %ld\n", LastError());
    Discard(s);
    return false;
}

void CQSocket::Discard(platform::SOCKET s) {
    // Only a handle this object still holds is closed: one that a Close from another thread
    // has taken away is that Close's to end, and its number may already name another file.
    platform::SOCKET expected = s;
    if (!m_Socket.compare_exchange_strong(expected, platform::INVALID_SOCKET)) return;
    if (platform::CloseSocket(s) != 0)
        PrintWide(L"closesocket function failed with error: %ld\n", LastError());
    platform::WSACleanup();
}

int CQSocket::WaitReadable(int timeoutMs) {
    const InUse use(*this);
    const platform::SOCKET s = use.socket;
    if (s == platform::INVALID_SOCKET) return -1;
    return platform::WaitReadableWithin(s, timeoutMs, [this, s] { return m_Socket.load() != s; });
}

bool CQSocket::Bind(const char* host, int port) {
    const std::string address =
        host == nullptr || *host == 0 ? platform::LocalHostAddress() : std::string(host);
    const InUse use(*this);
    const platform::SOCKET s = use.socket;
    if (platform::BindSocket(s, platform::InetAddr(address.c_str()), static_cast<uint16_t>(port)) ==
        0)
        return true;
    PrintWide(L"bind failed with error: %u\n", static_cast<unsigned>(LastError()));
    Discard(s);
    return true;
}

bool CQSocket::Listen(int) {
    const InUse use(*this);
    const platform::SOCKET s = use.socket;
    if (platform::ListenSocket(s, 100) == 0) return true;
    PrintWide(L"listen failed with error: %u\n", static_cast<unsigned>(LastError()));
    Discard(s);
    return true;
}

std::unique_ptr<CQSocket> CQSocket::Accept() {
    const InUse use(*this);
    const platform::SOCKET s = platform::AcceptSocket(use.socket);
    if (s == platform::INVALID_SOCKET) return nullptr;
    return std::make_unique<CQSocket>(s);
}

int CQSocket::Receive(void* buffer, int length) {
    const InUse use(*this);
    if (use.socket == platform::INVALID_SOCKET) return 0;
    return platform::RecvSocket(use.socket, buffer, length);
}

int CQSocket::Send(const void* buffer, int length) {
    const InUse use(*this);
    if (use.socket == platform::INVALID_SOCKET) return 0;
    return platform::SendSocket(use.socket, buffer, length);
}

int CQSocket::ReceiveAsync(CQSocketAsyncEventArgs& args) {
    const platform::SOCKET s = m_Socket;
    if (s == platform::INVALID_SOCKET) return 0;
    m_bSync = false;
    return platform::WSARecv(s, &args.m_Buffer, 1, &args.m_BytesTransferred, &args.m_Flags,
                             &args.m_Overlapped);
}

int CQSocket::SendAsync(CQSocketAsyncEventArgs& args) {
    const platform::SOCKET s = m_Socket;
    if (s == platform::INVALID_SOCKET) return 0;
    m_bSync = false;
    platform::WSASend(s, &args.m_Buffer, 1, &args.m_BytesTransferred, args.m_Flags,
                      &args.m_Overlapped);
    return 0;
}

bool CQSocket::AcceptAsync(CQSocketAsyncEventArgs&) {
    return true;
}

bool CQSocket::Shuntdown(ShuntdownTyps how) {
    const platform::SOCKET s = m_Socket;
    if (s == platform::INVALID_SOCKET) return true;
    switch (how) {
        case ShuntdownTyps_Both:
            platform::ShutdownSocket(s, platform::ShutdownHow::Both);
            break;
        case ShuntdownTyps_Receive:
            platform::ShutdownSocket(s, platform::ShutdownHow::Receive);
            break;
        case ShuntdownTyps_Send:
            platform::ShutdownSocket(s, platform::ShutdownHow::Send);
            break;
    }
    return true;
}

bool CQSocket::Close() {
    const platform::SOCKET s = m_Socket.exchange(platform::INVALID_SOCKET);
    if (s != platform::INVALID_SOCKET) {
        if (m_nUsers.load() != 0) {
            // A call blocked on the socket in another thread: shutting the socket down wakes
            // it, and it returns at once; only then is the handle closed.
            platform::ShutdownSocket(s, platform::ShutdownHow::Both);
            while (m_nUsers.load() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        platform::CloseSocket(s);
    }
    m_bSync = true;
    return true;
}

}  // namespace QNetwork
