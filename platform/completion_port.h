// An I/O completion port for sockets, with the behaviour of the Windows one, built on epoll.
//
// Every operation started with WSARecv or WSASend on a socket tied to a port completes exactly
// once through that port: with the bytes moved, with 0 bytes after an orderly close by the peer,
// or as a failure carrying the error (ERROR_OPERATION_ABORTED when the socket is closed while
// the operation is pending). The port's own poll thread performs the I/O when the socket is
// ready; the threads that wait in GetQueuedCompletionStatus only deliver the results.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "platform/socket.h"
#include "platform/sync.h"

namespace platform {

constexpr int ERROR_OPERATION_ABORTED = 995;
constexpr int WSA_IO_PENDING = 997;
constexpr int WSAEINVAL = 10022;

// The operation block of one pending operation; the caller keeps it in place until its
// completion has been delivered.
struct OVERLAPPED {
    uintptr_t Internal;
    uintptr_t InternalHigh;
    uint32_t Offset;
    uint32_t OffsetHigh;
    void* hEvent;
};

struct WSABUF {
    uint32_t len;
    char* buf;
};

class CompletionPort {
public:
    CompletionPort();
    ~CompletionPort();
    CompletionPort(const CompletionPort&) = delete;
    CompletionPort& operator=(const CompletionPort&) = delete;

    // Ties a socket to this port; its completions carry the key. False when the socket is
    // invalid or already tied to a port.
    bool Associate(SOCKET s, uintptr_t key);

    // Waits for the next completion. True for a successful one; false either with *overlapped
    // set (a failed operation: WSAGetLastError tells why, *bytes is 0) or with *overlapped null
    // (the wait timed out). INFINITE waits without limit.
    bool GetQueuedCompletionStatus(uint32_t* bytes, uintptr_t* key, OVERLAPPED** overlapped,
                                   uint32_t milliseconds);
    // Says that the calling thread is done with the completion it took last (so does its next
    // GetQueuedCompletionStatus): until then WithdrawCompletions waits for it.
    void CompletionDelivered();

private:
    friend int WSARecv(SOCKET, WSABUF*, uint32_t, uint32_t*, uint32_t*, OVERLAPPED*);
    friend int WSASend(SOCKET, WSABUF*, uint32_t, uint32_t*, uint32_t, OVERLAPPED*);
    friend void DetachFromCompletionPort(SOCKET);
    friend void WithdrawCompletions(OVERLAPPED*);

    struct Operation {
        OVERLAPPED* overlapped = nullptr;  // null: no operation of this direction pending
        char* buffer = nullptr;
        uint32_t length = 0;
        uint32_t done = 0;
        int flags = 0;
    };
    struct Registration {
        SOCKET socket;
        uintptr_t key;
        Operation receive;
        Operation send;
    };
    struct Completion {
        uint32_t bytes;
        uintptr_t key;
        OVERLAPPED* overlapped;
        int error;
    };

    int Start(SOCKET s, bool receive, WSABUF* buffers, uint32_t count, int flags,
              OVERLAPPED* overlapped);
    void Forget(SOCKET s);
    void Poll();
    // The helpers below run with lock_ held.
    void Arm(uint64_t id, Registration& reg);
    void Service(Registration& reg, bool receive);
    void Complete(Registration& reg, Operation& op, uint32_t bytes, int error);
    void Withdraw(OVERLAPPED* overlapped);

    int epoll_ = -1;
    int wake_ = -1;  // an eventfd that ends the poll thread
    std::mutex lock_;
    // Registrations are known by an id that is never reused, so that a readiness report for a
    // socket closed meanwhile (whose descriptor number may already be in use again) is dropped.
    uint64_t nextId_ = 1;
    std::unordered_map<uint64_t, Registration> registrations_;
    std::unordered_map<SOCKET, uint64_t> ids_;
    std::mutex queueLock_;
    std::condition_variable queued_;
    std::deque<Completion> queue_;
    // The completion each thread has taken and not yet finished with (under queueLock_).
    std::unordered_map<std::thread::id, OVERLAPPED*> delivering_;
    std::condition_variable delivered_;
    std::thread poller_;
};

// Starts one operation on a socket tied to a port, with the first buffer only. Returns
// SOCKET_ERROR with WSA_IO_PENDING when the operation was started (its result comes through the
// port), or SOCKET_ERROR with another error when it could not be started (no completion
// follows). *bytes is not written: the completion carries the count. Of the flags only the
// out-of-band and peek bits are passed on.
int WSARecv(SOCKET s, WSABUF* buffers, uint32_t count, uint32_t* bytes, uint32_t* flags,
            OVERLAPPED* overlapped);
int WSASend(SOCKET s, WSABUF* buffers, uint32_t count, uint32_t* bytes, uint32_t flags,
            OVERLAPPED* overlapped);

// Called by CloseSocket before the descriptor is closed: the socket's pending operations
// complete with ERROR_OPERATION_ABORTED and its tie to a port ends.
void DetachFromCompletionPort(SOCKET s);

// Drops every completion of this operation block still queued on any port and waits until no
// other thread is delivering one: afterwards no port touches the block again, and its owner
// may free it. Called from the thread delivering it (inside its handler) that delivery is not
// waited for.
void WithdrawCompletions(OVERLAPPED* overlapped);

// Number of processors, at least 1.
unsigned ProcessorCount();

}  // namespace platform
