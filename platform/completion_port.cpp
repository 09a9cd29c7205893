#include "platform/completion_port.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <vector>

namespace platform {
namespace {

constexpr uint64_t kWakeId = 0;

// Which port a socket is tied to. Starting an operation and closing a socket look the port up
// here; the lock is taken before a port's own lock, never after it. Every socket close comes
// here, also from threads still ending while the process exits, so these tables are never
// destroyed.
std::mutex& RegistryLock() {
    static auto* const lock = new std::mutex;
    return *lock;
}

std::unordered_map<SOCKET, CompletionPort*>& Registry() {
    static auto* const registry = new std::unordered_map<SOCKET, CompletionPort*>;
    return *registry;
}

// Every port of the process, for WithdrawCompletions.
std::mutex& PortsLock() {
    static auto* const lock = new std::mutex;
    return *lock;
}

std::vector<CompletionPort*>& Ports() {
    static auto* const ports = new std::vector<CompletionPort*>;
    return *ports;
}

bool WouldBlock(int e) {
    return e == EAGAIN || e == EWOULDBLOCK || e == EINTR;
}

}  // namespace

CompletionPort::CompletionPort() {
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeId;
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &ev);
    poller_ = std::thread([this] { Poll(); });
    std::lock_guard<std::mutex> ports(PortsLock());
    Ports().push_back(this);
}

CompletionPort::~CompletionPort() {
    {
        std::lock_guard<std::mutex> ports(PortsLock());
        std::erase(Ports(), this);
    }
    {
        std::lock_guard<std::mutex> registry(RegistryLock());
        std::lock_guard<std::mutex> guard(lock_);
        for (const auto& [id, reg] : registrations_) Registry().erase(reg.socket);
        registrations_.clear();
        ids_.clear();
    }
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_, &one, sizeof one);
    poller_.join();
    ::close(wake_);
    ::close(epoll_);
}

bool CompletionPort::Associate(SOCKET s, uintptr_t key) {
    std::lock_guard<std::mutex> registry(RegistryLock());
    if (s < 0 || Registry().count(s) != 0) {
        WSASetLastError(WSAEINVAL);
        return false;
    }
    std::lock_guard<std::mutex> guard(lock_);
    const uint64_t id = nextId_++;
    // One-shot: the socket reports readiness only while an operation has armed it.
    epoll_event ev{};
    ev.events = EPOLLONESHOT;
    ev.data.u64 = id;
    if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, s, &ev) != 0) {
        WSASetLastError(errno);
        return false;
    }
    registrations_[id] = Registration{s, key, {}, {}};
    ids_[s] = id;
    Registry()[s] = this;
    return true;
}

int CompletionPort::Start(SOCKET s, bool receive, WSABUF* buffers, uint32_t count, int flags,
                          OVERLAPPED* overlapped) {
    std::lock_guard<std::mutex> guard(lock_);
    const auto found = ids_.find(s);
    if (found == ids_.end() || buffers == nullptr || count == 0 || overlapped == nullptr) {
        WSASetLastError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    Registration& reg = registrations_[found->second];
    Operation& op = receive ? reg.receive : reg.send;
    if (op.overlapped != nullptr) {  // one operation of each direction at a time
        WSASetLastError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    op = Operation{overlapped, buffers[0].buf, buffers[0].len, 0, flags};
    Arm(found->second, reg);
    WSASetLastError(WSA_IO_PENDING);
    return SOCKET_ERROR;
}

void CompletionPort::Forget(SOCKET s) {
    std::lock_guard<std::mutex> guard(lock_);
    const auto found = ids_.find(s);
    if (found == ids_.end()) return;
    Registration& reg = registrations_[found->second];
    if (reg.receive.overlapped != nullptr) Complete(reg, reg.receive, 0, ERROR_OPERATION_ABORTED);
    if (reg.send.overlapped != nullptr) Complete(reg, reg.send, 0, ERROR_OPERATION_ABORTED);
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, s, nullptr);
    registrations_.erase(found->second);
    ids_.erase(found);
}

void CompletionPort::Arm(uint64_t id, Registration& reg) {
    epoll_event ev{};
    ev.events = EPOLLONESHOT;
    if (reg.receive.overlapped != nullptr) ev.events |= EPOLLIN | EPOLLRDHUP;
    if (reg.send.overlapped != nullptr) ev.events |= EPOLLOUT;
    ev.data.u64 = id;
    ::epoll_ctl(epoll_, EPOLL_CTL_MOD, reg.socket, &ev);
}

void CompletionPort::Poll() {
    epoll_event events[64];
    for (;;) {
        const int n = ::epoll_wait(epoll_, events, 64, -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        for (int i = 0; i < n; ++i) {
            const uint64_t id = events[i].data.u64;
            if (id == kWakeId) return;
            std::lock_guard<std::mutex> guard(lock_);
            const auto found = registrations_.find(id);
            if (found == registrations_.end()) continue;  // closed since it was reported
            Registration& reg = found->second;
            const uint32_t e = events[i].events;
            if (reg.receive.overlapped != nullptr &&
                (e & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)))
                Service(reg, true);
            if (reg.send.overlapped != nullptr && (e & (EPOLLOUT | EPOLLHUP | EPOLLERR)))
                Service(reg, false);
            if (reg.receive.overlapped != nullptr || reg.send.overlapped != nullptr) Arm(id, reg);
        }
    }
}

void CompletionPort::Service(Registration& reg, bool receive) {
    if (receive) {
        Operation& op = reg.receive;
        const ssize_t r = ::recv(reg.socket, op.buffer, op.length, MSG_DONTWAIT | op.flags);
        if (r >= 0)
            Complete(reg, op, static_cast<uint32_t>(r), 0);
        else if (!WouldBlock(errno))
            Complete(reg, op, 0, errno);
        return;
    }
    // A send completes when all of its bytes are out, as an overlapped send on a stream does.
    Operation& op = reg.send;
    while (op.done < op.length) {
        const ssize_t r = ::send(reg.socket, op.buffer + op.done, op.length - op.done,
                                 MSG_DONTWAIT | MSG_NOSIGNAL | op.flags);
        if (r < 0) {
            if (!WouldBlock(errno)) Complete(reg, op, 0, errno);
            return;
        }
        op.done += static_cast<uint32_t>(r);
    }
    Complete(reg, op, op.done, 0);
}

void CompletionPort::Complete(Registration& reg, Operation& op, uint32_t bytes, int error) {
    {
        std::lock_guard<std::mutex> queue(queueLock_);
        queue_.push_back(Completion{bytes, reg.key, op.overlapped, error});
    }
    queued_.notify_one();
    op = Operation{};
}

bool CompletionPort::GetQueuedCompletionStatus(uint32_t* bytes, uintptr_t* key,
                                               OVERLAPPED** overlapped, uint32_t milliseconds) {
    std::unique_lock<std::mutex> queue(queueLock_);
    if (delivering_.erase(std::this_thread::get_id()) != 0) delivered_.notify_all();
    const auto ready = [this] { return !queue_.empty(); };
    if (milliseconds == INFINITE)
        queued_.wait(queue, ready);
    else
        queued_.wait_for(queue, std::chrono::milliseconds(milliseconds), ready);
    if (queue_.empty()) {
        *overlapped = nullptr;
        WSASetLastError(static_cast<int>(WAIT_TIMEOUT));
        return false;
    }
    const Completion c = queue_.front();
    queue_.pop_front();
    delivering_[std::this_thread::get_id()] = c.overlapped;
    *bytes = c.bytes;
    *key = c.key;
    *overlapped = c.overlapped;
    if (c.error != 0) {
        WSASetLastError(c.error);
        return false;
    }
    return true;
}

void CompletionPort::CompletionDelivered() {
    std::lock_guard<std::mutex> queue(queueLock_);
    if (delivering_.erase(std::this_thread::get_id()) != 0) delivered_.notify_all();
}

void CompletionPort::Withdraw(OVERLAPPED* overlapped) {
    std::unique_lock<std::mutex> queue(queueLock_);
    std::erase_if(queue_, [overlapped](const Completion& c) { return c.overlapped == overlapped; });
    const auto me = std::this_thread::get_id();
    delivered_.wait(queue, [this, overlapped, me] {
        for (const auto& [thread, o] : delivering_)
            if (o == overlapped && thread != me) return false;
        return true;
    });
}

void WithdrawCompletions(OVERLAPPED* overlapped) {
    std::vector<CompletionPort*> ports;
    {
        std::lock_guard<std::mutex> lock(PortsLock());
        ports = Ports();
    }
    for (CompletionPort* port : ports) port->Withdraw(overlapped);
}

int WSARecv(SOCKET s, WSABUF* buffers, uint32_t count, uint32_t*, uint32_t* flags,
            OVERLAPPED* overlapped) {
    const int f = flags != nullptr ? static_cast<int>(*flags) & (MSG_OOB | MSG_PEEK) : 0;
    std::lock_guard<std::mutex> registry(RegistryLock());
    const auto found = Registry().find(s);
    if (found == Registry().end()) {
        WSASetLastError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    return found->second->Start(s, true, buffers, count, f, overlapped);
}

int WSASend(SOCKET s, WSABUF* buffers, uint32_t count, uint32_t*, uint32_t flags,
            OVERLAPPED* overlapped) {
    const int f = static_cast<int>(flags) & MSG_OOB;
    std::lock_guard<std::mutex> registry(RegistryLock());
    const auto found = Registry().find(s);
    if (found == Registry().end()) {
        WSASetLastError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    return found->second->Start(s, false, buffers, count, f, overlapped);
}

void DetachFromCompletionPort(SOCKET s) {
    std::lock_guard<std::mutex> registry(RegistryLock());
    const auto found = Registry().find(s);
    if (found == Registry().end()) return;
    CompletionPort* port = found->second;
    Registry().erase(found);
    port->Forget(s);
}

unsigned ProcessorCount() {
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n;
}

}  // namespace platform
