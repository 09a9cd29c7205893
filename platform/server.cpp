#include "platform/server.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>

namespace platform {
namespace {
std::atomic<bool> g_stop{false};
void OnStop(int) {
    g_stop = true;
}
}  // namespace

int WaitReadable(SOCKET s, int timeoutMs) {
    pollfd p{s, POLLIN, 0};
    for (;;) {
        const int r = ::poll(&p, 1, timeoutMs);
        if (r < 0 && errno == EINTR) return 0;  // a signal: let the caller look at its flags
        if (r < 0) {
            WSASetLastError(errno);
            return -1;
        }
        return r > 0 ? 1 : 0;
    }
}

int RecvAvailable(SOCKET s, void* buffer, int length) {
    const ssize_t n = ::recv(s, buffer, static_cast<size_t>(length), MSG_DONTWAIT);
    if (n < 0) {
        WSASetLastError(errno);
        return -1;
    }
    return static_cast<int>(n);
}

bool WouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

void ReuseAddress(SOCKET s) {
    const int on = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

void InstallStopSignals() {
    struct sigaction a {};
    a.sa_handler = OnStop;
    sigemptyset(&a.sa_mask);
    ::sigaction(SIGTERM, &a, nullptr);
    ::sigaction(SIGINT, &a, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
}

bool StopRequested() {
    return g_stop;
}

}  // namespace platform
