#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "platform/completion_port.h"

namespace platform {
namespace {

static_assert(AddressFamilyInet == AF_INET && SocketTypeStream == SOCK_STREAM &&
              ProtocolTcp == IPPROTO_TCP);

thread_local int lastError = 0;

int Fail() {
    lastError = errno;
    return SOCKET_ERROR;
}

sockaddr_in MakeAddress(uint32_t address, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = address;
    return a;
}

}  // namespace

int WSAStartup(uint16_t) {
    return 0;
}
int WSACleanup() {
    return 0;
}
int WSAGetLastError() {
    return lastError;
}
void WSASetLastError(int error) {
    lastError = error;
}

SOCKET CreateSocket(int family, int type, int protocol) {
    const int s = ::socket(family, type | SOCK_CLOEXEC, protocol);
    if (s < 0) return Fail();
    return s;
}

uint32_t InetAddr(const char* text) {
    if (text == nullptr) return INADDR_NONE_VALUE;
    return ::inet_addr(text);
}

int ConnectSocket(SOCKET s, uint32_t address, uint16_t port) {
    const sockaddr_in a = MakeAddress(address, port);
    int r;
    do {
        r = ::connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    } while (r < 0 && errno == EINTR);
    return r < 0 ? Fail() : 0;
}

namespace {

// Polls in short slices, so that a cancellation (a close from another thread, which may come
// before the wait has begun and so cannot rely on waking it) is seen within one slice.
constexpr int kSliceMs = 20;

// 1 when one of the events came, 0 after timeoutMs, -1 cancelled or failed (errno set).
int PollWithin(SOCKET s, short events, int timeoutMs, const std::function<bool()>& cancelled) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    for (;;) {
        if (cancelled && cancelled()) {
            errno = ECANCELED;
            return -1;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return 0;
        pollfd p{s, events, 0};
        const int r = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, kSliceMs)));
        if (r < 0 && errno != EINTR) return -1;
        if (r > 0) return 1;
    }
}

}  // namespace

int ConnectSocketWithin(SOCKET s, uint32_t address, uint16_t port, int timeoutMs,
                        const std::function<bool()>& cancelled) {
    const int flags = ::fcntl(s, F_GETFL);
    if (flags < 0 || ::fcntl(s, F_SETFL, flags | O_NONBLOCK) < 0) return Fail();
    const sockaddr_in a = MakeAddress(address, port);
    int r = ::connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    int error = r == 0 ? 0 : errno;
    if (r < 0 && (errno == EINPROGRESS || errno == EINTR)) {
        const int ready = PollWithin(s, POLLOUT, timeoutMs, cancelled);
        if (ready == 1) {
            socklen_t n = sizeof error;
            if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &n) != 0) error = errno;
        } else {
            error = ready == 0 ? ETIMEDOUT : errno;
        }
    }
    ::fcntl(s, F_SETFL, flags);
    if (error == 0) return 0;
    errno = error;
    return Fail();
}

int WaitReadableWithin(SOCKET s, int timeoutMs, const std::function<bool()>& cancelled) {
    const int r = PollWithin(s, POLLIN, timeoutMs, cancelled);
    return r < 0 ? Fail() : r;
}

int BindSocket(SOCKET s, uint32_t address, uint16_t port) {
    const sockaddr_in a = MakeAddress(address, port);
    // A listener restarted on its port must not wait for the old connections' time-out.
    const int one = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    return ::bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) < 0 ? Fail() : 0;
}

int ListenSocket(SOCKET s, int backlog) {
    return ::listen(s, backlog) < 0 ? Fail() : 0;
}

SOCKET AcceptSocket(SOCKET s) {
    int r;
    do {
        r = ::accept4(s, nullptr, nullptr, SOCK_CLOEXEC);
    } while (r < 0 && errno == EINTR);
    if (r < 0) {
        Fail();
        return INVALID_SOCKET;
    }
    return r;
}

int RecvSocket(SOCKET s, void* buffer, int length) {
    if (length < 0) length = 0;
    ssize_t r;
    do {
        r = ::recv(s, buffer, static_cast<size_t>(length), 0);
    } while (r < 0 && errno == EINTR);
    return r < 0 ? Fail() : static_cast<int>(r);
}

int SendSocket(SOCKET s, const void* buffer, int length) {
    if (length < 0) length = 0;
    ssize_t r;
    do {
        r = ::send(s, buffer, static_cast<size_t>(length), MSG_NOSIGNAL);
    } while (r < 0 && errno == EINTR);
    return r < 0 ? Fail() : static_cast<int>(r);
}

int ShutdownSocket(SOCKET s, ShutdownHow how) {
    const int h = how == ShutdownHow::Receive ? SHUT_RD
                  : how == ShutdownHow::Send  ? SHUT_WR
                                              : SHUT_RDWR;
    return ::shutdown(s, h) < 0 ? Fail() : 0;
}

int CloseSocket(SOCKET s) {
    if (s < 0) {
        lastError = EBADF;
        return SOCKET_ERROR;
    }
    DetachFromCompletionPort(s);
    // Unlike closesocket, close leaves a thread blocked in recv or accept asleep; shutting the
    // socket down first wakes it. Not connected (a fresh or listening socket) is no error here.
    ::shutdown(s, SHUT_RDWR);
    return ::close(s) < 0 ? Fail() : 0;
}

std::string LocalHostAddress() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return {};
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (::getaddrinfo(name, nullptr, &hints, &list) != 0 || list == nullptr) return {};
    char text[INET_ADDRSTRLEN] = {};
    const auto* a = reinterpret_cast<const sockaddr_in*>(list->ai_addr);
    std::string result;
    if (inet_ntop(AF_INET, &a->sin_addr, text, sizeof text) != nullptr) result = text;
    ::freeaddrinfo(list);
    return result;
}

int SocketLocalPort(SOCKET s) {
    sockaddr_in a{};
    socklen_t n = sizeof a;
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&a), &n) != 0) {
        Fail();
        return -1;
    }
    return ntohs(a.sin_port);
}

}  // namespace platform
