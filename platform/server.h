// What a small server program needs beyond the client sockets: waiting for a socket with a
// timeout, and an orderly stop on SIGTERM or SIGINT.
#pragma once

#include "platform/socket.h"

namespace platform {

// 1 when the socket has data (or a pending connection, or its peer has closed), 0 after
// timeoutMs without, -1 on error.
int WaitReadable(SOCKET s, int timeoutMs);
// Receives what is there without waiting: bytes, 0 at orderly close, -1 when nothing is
// there or on error (WSAGetLastError tells which: EAGAIN for nothing).
int RecvAvailable(SOCKET s, void* buffer, int length);
bool WouldBlock(int error);
// Lets a bound socket be bound again at once after the program ends (TIME_WAIT).
void ReuseAddress(SOCKET s);

// SIGTERM and SIGINT set a flag instead of ending the process; SIGPIPE is ignored.
void InstallStopSignals();
bool StopRequested();

}  // namespace platform
