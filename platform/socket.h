// IPv4 TCP sockets with the behaviour of their Windows sockets namesakes, over POSIX sockets.
// Errors are errno values, kept per thread and read back with WSAGetLastError.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

namespace platform {

using SOCKET = int;
constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;
constexpr uint32_t INADDR_NONE_VALUE = 0xFFFFFFFF;

// The protocol numbers the socket layer expects (the same on Windows and Linux).
constexpr int AddressFamilyInet = 2;
constexpr int SocketTypeStream = 1;
constexpr int ProtocolTcp = 6;

enum class ShutdownHow { Receive, Send, Both };

// POSIX sockets need no start-up; these keep the places of the Windows calls and succeed.
int WSAStartup(uint16_t version);
int WSACleanup();

// The error of the calling thread's last failed socket call.
int WSAGetLastError();
void WSASetLastError(int error);

SOCKET CreateSocket(int family, int type, int protocol);
// A dotted IPv4 address text to the address in network order; INADDR_NONE_VALUE when the
// text is no such address (names are not resolved).
uint32_t InetAddr(const char* text);
int ConnectSocket(SOCKET s, uint32_t address, uint16_t port);
// Connects within timeoutMs (INFINITE-like values are not special: pass a bound). cancelled is
// asked every few milliseconds while the connection is under way; when it says true the
// attempt ends at once with ECANCELED. The socket is blocking again afterwards. 0 or
// SOCKET_ERROR (ETIMEDOUT after timeoutMs).
int ConnectSocketWithin(SOCKET s, uint32_t address, uint16_t port, int timeoutMs,
                        const std::function<bool()>& cancelled);
// Waits until the socket has data (or its peer has closed, or it failed): 1 then, 0 after
// timeoutMs without, SOCKET_ERROR when cancelled says true (ECANCELED) or on failure.
int WaitReadableWithin(SOCKET s, int timeoutMs, const std::function<bool()>& cancelled);
int BindSocket(SOCKET s, uint32_t address, uint16_t port);
int ListenSocket(SOCKET s, int backlog);
// INVALID_SOCKET when accepting fails.
SOCKET AcceptSocket(SOCKET s);
// Blocking receive: bytes, 0 at orderly close, SOCKET_ERROR on error.
int RecvSocket(SOCKET s, void* buffer, int length);
// Blocking send; a peer that has gone away gives an error instead of a signal.
int SendSocket(SOCKET s, const void* buffer, int length);
int ShutdownSocket(SOCKET s, ShutdownHow how);
// Like closesocket: operations pending on a completion port complete once with
// ERROR_OPERATION_ABORTED, and a receive or accept blocked on the socket in another thread
// returns (the socket is shut down before its descriptor is closed).
int CloseSocket(SOCKET s);

// The first IPv4 address of this host's name as dotted text, empty when it has none.
std::string LocalHostAddress();
// The local port a socket is bound to (in host order), -1 on failure.
int SocketLocalPort(SOCKET s);

}  // namespace platform
