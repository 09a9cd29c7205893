#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/iocp.h"
#include "net/socket.h"
#include "net/socket_async_event_args.h"
#include "tests/net/loopback.h"

using nettest::Loopback;
using QNetwork::CQIOCP;
using QNetwork::CQSocket;
using QNetwork::CQSocketAsyncEventArgs;

namespace {

// What one record's completions looked like, noted by its handler on a worker thread.
struct Seen {
    std::mutex lock;
    std::condition_variable changed;
    int calls = 0;
    uint32_t bytes = 0;
    uint32_t error = 0;
    void* sender = reinterpret_cast<void*>(1);
    std::thread::id thread;
    std::string data;

    void Watch(CQSocketAsyncEventArgs& args) {
        args.Add([this](void* s, const CQSocketAsyncEventArgs& a) {
            std::lock_guard<std::mutex> guard(lock);
            ++calls;
            bytes = a.m_BytesTransferred;
            error = a.m_Error;
            sender = s;
            thread = std::this_thread::get_id();
            data.append(a.m_Buffer.buf, a.m_BytesTransferred);
            changed.notify_all();
        });
    }
    bool WaitCalls(int n, int ms = 5000) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, std::chrono::milliseconds(ms), [&] { return calls >= n; });
    }
    int Calls() {
        std::lock_guard<std::mutex> guard(lock);
        return calls;
    }
};

}  // namespace

TEST(CQSocketAsyncEventArgs, OwnerFollowsOperationBlockAndCopiesKeepIt) {
    CQSocketAsyncEventArgs a;
    EXPECT_EQ(reinterpret_cast<char*>(&a.m_Owner),
              reinterpret_cast<char*>(&a.m_Overlapped) + sizeof(platform::OVERLAPPED));
    EXPECT_EQ(CQSocketAsyncEventArgs::FromOverlapped(&a.m_Overlapped), &a);
    EXPECT_EQ(a.m_BytesTransferred, 0u);
    EXPECT_EQ(a.m_Error, 0u);
    char buf[10];
    a.SetBuffer(buf, 10);
    int hits = 0;
    a.Add([&](void*, const CQSocketAsyncEventArgs&) { ++hits; });
    CQSocketAsyncEventArgs b(a);
    EXPECT_EQ(b.m_Owner, &a);
    EXPECT_EQ(b.m_Buffer.buf, buf);
    EXPECT_EQ(b.m_Buffer.len, 10u);
    b.RaisEvent(nullptr, b);
    EXPECT_EQ(hits, 1);
}

TEST(CQIOCP, ManyPendingReceivesCompleteOnceEach) {
    constexpr int kSockets = 64;
    Loopback lo;
    CQIOCP& port = CQIOCP::GetInstance();
    EXPECT_EQ(&port, &CQIOCP::GetInstance());
    struct Conn {
        std::unique_ptr<CQSocket> client, server;
        CQSocketAsyncEventArgs args;
        char buffer[64] = {};
        Seen seen;
    };
    std::vector<std::unique_ptr<Conn>> conns;
    for (int i = 0; i < kSockets; ++i) {
        auto c = std::make_unique<Conn>();
        std::tie(c->client, c->server) = lo.Pair();
        ASSERT_NE(c->server, nullptr);
        c->seen.Watch(c->args);
        c->args.SetBuffer(c->buffer, sizeof c->buffer);
        port.Add(c->client->GetSocket());
        c->client->ReceiveAsync(c->args);
        EXPECT_FALSE(c->client->IsSync());
        conns.push_back(std::move(c));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (auto& c : conns) EXPECT_EQ(c->seen.Calls(), 0);  // nothing arrived yet
    // Answer in reverse order, so completions cannot simply follow the order of the starts.
    for (int i = kSockets - 1; i >= 0; --i)
        nettest::SendAll(*conns[i]->server, "reply " + std::to_string(i));
    for (int i = 0; i < kSockets; ++i) {
        Seen& s = conns[i]->seen;
        ASSERT_TRUE(s.WaitCalls(1));
        std::lock_guard<std::mutex> guard(s.lock);
        EXPECT_EQ(s.data, "reply " + std::to_string(i));
        EXPECT_EQ(s.bytes, s.data.size());
        EXPECT_EQ(s.error, 0u);
        EXPECT_EQ(s.sender, nullptr);
        EXPECT_NE(s.thread, std::this_thread::get_id());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (auto& c : conns) EXPECT_EQ(c->seen.Calls(), 1);
    for (auto& c : conns) c->client->Close();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (auto& c : conns) EXPECT_EQ(c->seen.Calls(), 1);  // nothing was pending any more
    for (auto& c : conns) c->args.ClearAll();  // waits for a handler call still returning
}

TEST(CQIOCP, EndsOfAnOperation) {
    // Every case starts one receive and sees exactly one completion of the expected kind.
    struct Case {
        const char* name;
        std::function<void(CQSocket& client, CQSocket& server)> end;
        uint32_t error;  // 0: an orderly end with 0 bytes
    };
    const Case cases[] = {
        {"closed under the pending receive", [](CQSocket& c, CQSocket&) { c.Close(); },
         platform::ERROR_OPERATION_ABORTED},
        {"peer closes", [](CQSocket&, CQSocket& s) { s.Close(); }, 0},
        {"own receive direction shut down",
         [](CQSocket& c, CQSocket&) { c.Shuntdown(QNetwork::ShuntdownTyps_Receive); }, 0},
    };
    Loopback lo;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        auto [client, server] = lo.Pair();
        CQSocketAsyncEventArgs args;
        Seen seen;
        seen.Watch(args);
        char buf[16];
        args.SetBuffer(buf, sizeof buf);
        CQIOCP::GetInstance().Add(client->GetSocket());
        EXPECT_EQ(client->ReceiveAsync(args), -1);
        EXPECT_EQ(platform::WSAGetLastError(), platform::WSA_IO_PENDING);
        k.end(*client, *server);
        ASSERT_TRUE(seen.WaitCalls(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        client->Close();
        EXPECT_TRUE(client->IsSync());
        args.ClearAll();
        std::lock_guard<std::mutex> guard(seen.lock);
        EXPECT_EQ(seen.calls, 1);
        EXPECT_EQ(seen.bytes, 0u);
        EXPECT_EQ(seen.error, k.error);
    }
}

TEST(CQIOCP, UnconnectedSocketFailsWithErrorSet) {
    CQSocket s;
    s.OpenTCP();
    CQSocketAsyncEventArgs args;
    Seen seen;
    seen.Watch(args);
    char buf[16];
    args.SetBuffer(buf, sizeof buf);
    CQIOCP::GetInstance().Add(s.GetSocket());
    s.ReceiveAsync(args);
    ASSERT_TRUE(seen.WaitCalls(1));
    args.ClearAll();
    std::lock_guard<std::mutex> guard(seen.lock);
    EXPECT_NE(seen.error, 0u);
    EXPECT_EQ(seen.bytes, 0u);
}

TEST(CQIOCP, OperationsThatCannotStart) {
    CQSocketAsyncEventArgs args;
    char buf[4];
    args.SetBuffer(buf, 4);
    CQSocket none;
    EXPECT_EQ(none.ReceiveAsync(args), 0);  // no socket: nothing happens
    EXPECT_EQ(none.SendAsync(args), 0);
    EXPECT_TRUE(none.IsSync());
    EXPECT_TRUE(none.AcceptAsync(args));
    Loopback lo;
    auto [client, server] = lo.Pair();
    Seen seen;
    seen.Watch(args);
    EXPECT_EQ(client->ReceiveAsync(args), -1);  // not tied to the port: no completion follows
    EXPECT_NE(platform::WSAGetLastError(), platform::WSA_IO_PENDING);
    CQIOCP::GetInstance().Add(client->GetSocket());
    EXPECT_EQ(client->ReceiveAsync(args), -1);
    EXPECT_EQ(client->ReceiveAsync(args), -1);  // a second one of the same direction is refused
    EXPECT_NE(platform::WSAGetLastError(), platform::WSA_IO_PENDING);
    nettest::SendAll(*server, "abc");
    ASSERT_TRUE(seen.WaitCalls(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(seen.Calls(), 1);
    args.ClearAll();
}

TEST(CQIOCP, ChainedReceivesAndLargeSendKeepEveryByteInOrder) {
    Loopback lo;
    auto [client, server] = lo.Pair();
    CQIOCP& port = CQIOCP::GetInstance();
    port.Add(client->GetSocket());
    port.Add(server->GetSocket());
    std::string payload(3 << 20, '\0');
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7 + i / 251);

    // The receiving side re-arms from its handler, as a streaming client does.
    CQSocketAsyncEventArgs recvArgs;
    std::vector<char> buffer(8192);
    recvArgs.SetBuffer(buffer.data(), static_cast<int>(buffer.size()));
    std::string received;
    std::mutex lock;
    std::condition_variable done;
    bool ended = false;
    CQSocket* c = client.get();
    recvArgs.Add([&](void*, const CQSocketAsyncEventArgs& a) {
        if (a.m_BytesTransferred == 0) {
            std::lock_guard<std::mutex> guard(lock);
            ended = true;
            done.notify_all();
            return;
        }
        received.append(a.m_Buffer.buf, a.m_BytesTransferred);
        c->ReceiveAsync(recvArgs);
    });
    client->ReceiveAsync(recvArgs);

    CQSocketAsyncEventArgs sendArgs;
    sendArgs.SetBuffer(payload.data(), static_cast<int>(payload.size()));
    Seen sent;
    sent.Watch(sendArgs);
    EXPECT_EQ(server->SendAsync(sendArgs), 0);
    ASSERT_TRUE(sent.WaitCalls(1, 20000));
    {
        std::lock_guard<std::mutex> guard(sent.lock);
        EXPECT_EQ(sent.bytes, payload.size());  // one completion for the whole buffer
        EXPECT_EQ(sent.error, 0u);
    }
    server->Shuntdown(QNetwork::ShuntdownTyps_Send);
    {
        std::unique_lock<std::mutex> guard(lock);
        ASSERT_TRUE(done.wait_for(guard, std::chrono::seconds(20), [&] { return ended; }));
    }
    recvArgs.ClearAll();
    sendArgs.ClearAll();
    EXPECT_EQ(received.size(), payload.size());
    EXPECT_TRUE(received == payload);
}
