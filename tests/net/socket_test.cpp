#include <gtest/gtest.h>

#include "net/event_handler.h"
#include "net/iocp.h"
#include "net/socket.h"
#include "tests/net/net_test_util.h"

using nettest::Loopback;
using QNetwork::CQIOCP;
using QNetwork::CQSocket;
using QNetwork::CQSocketAsyncEventArgs;
using namespace std::chrono_literals;

TEST(CQSocket, FailuresLeaveNoSocketAndPrintTheirMessage) {
    Loopback lo;
    const int closed = nettest::ClosedPort();
    const std::pair<std::function<void(CQSocket&)>, std::string> cases[] = {
        {[&](CQSocket& s) { s.Connect("localhost", lo.port); },  // names are not resolved
         "connect function failed with error: "},
        {[&](CQSocket& s) { s.Connect("127.0.0.1", closed); },
         "connect function failed with error: 111\n"},
        {[&](CQSocket& s) { s.Bind("127.0.0.1", lo.port); }, "bind failed with error: 98\n"},
        {[&](CQSocket& s) { s.Close(), s.Listen(5); }, "listen failed with error: 9\n"},
    };
    for (const auto& [act, message] : cases) {
        CQSocket s;
        s.OpenTCP();
        testing::internal::CaptureStdout();
        act(s);
        EXPECT_EQ(testing::internal::GetCapturedStdout().substr(0, message.size()), message);
        EXPECT_EQ(s.GetSocket(), platform::INVALID_SOCKET);
        // No socket: the socket layer is not called.
        EXPECT_EQ(s.Receive(nullptr, 4) + s.Send("abcd", 4), 0) << message;
    }
}

TEST(CQSocket, ShutdownVanishedPeerAndCloseFromAnotherThread) {
    Loopback lo;
    auto [client, server] = lo.Pair();
    client->Shuntdown(static_cast<QNetwork::ShuntdownTyps>(3));  // nothing happens
    nettest::SendAll(*client, "ping");
    EXPECT_EQ(nettest::Receive(*server, 4), "ping");
    client->Shuntdown(QNetwork::ShuntdownTyps_Send);
    EXPECT_EQ(nettest::Receive(*server), "");  // the peer sees the end, receiving still works
    nettest::SendAll(*server, "pong");
    EXPECT_EQ(nettest::Receive(*client, 4), "pong");
    // Sends to a peer that has gone fail instead of raising SIGPIPE, which would end the test.
    server->Close();
    int last = 0;
    for (int i = 0; i < 50 && last >= 0; ++i)
        last = client->Send(std::string(65536, 'y').data(), 65536);
    EXPECT_EQ(last, -1);
    // A Close from another thread wakes a blocked receive and a blocked accept.
    const auto silent = lo.Pair();  // its far end stays open and silent
    CQSocket* blocked = silent.first.get();
    int received = 99;
    auto accepted = std::make_unique<CQSocket>();
    std::thread receiver([&] { received = blocked->Receive(&received, 4); });
    std::thread acceptor([&] { accepted = lo.listener.Accept(); });
    std::this_thread::sleep_for(50ms);
    blocked->Close();
    lo.listener.Close();
    receiver.join();
    acceptor.join();
    EXPECT_LE(received, 0);
    EXPECT_EQ(accepted, nullptr);
}

TEST(CQSocket, CloseDuringConnectNeverClosesAnotherFile) {
    // A listener whose queue is full drops further connection requests, so a connect to it
    // hangs. Closed from another thread, the connect ends at once; the descriptor number it
    // had is taken by a new file meanwhile, and that file must stay open.
    // (CQSocket::Listen asks for a long queue whatever it is told: the socket layer directly.)
    CQSocket listener(platform::CreateSocket(platform::AddressFamilyInet,
                                             platform::SocketTypeStream, platform::ProtocolTcp));
    ASSERT_EQ(platform::BindSocket(listener.GetSocket(), platform::InetAddr("127.0.0.1"), 0), 0);
    ASSERT_EQ(platform::ListenSocket(listener.GetSocket(), 0), 0);
    const int port = platform::SocketLocalPort(listener.GetSocket());
    CQSocket filling[4];
    int refused = 0;
    for (CQSocket& f : filling) refused += (f.OpenTCP(), !f.ConnectWithin("127.0.0.1", port, 200));
    ASSERT_GT(refused, 0) << "the queue never filled: a connect would not hang";
    for (int attempt = 0; attempt < 10; ++attempt) {
        CQSocket s;
        s.OpenTCP();
        const auto start = std::chrono::steady_clock::now();
        std::thread connector([&] { s.Connect("127.0.0.1", port); });
        std::this_thread::sleep_for(30ms);
        s.Close();
        std::FILE* other = std::tmpfile();  // likely the same number
        ASSERT_NE(other, nullptr);
        connector.join();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
        EXPECT_GE(std::fputs("still open", other), 0);
        EXPECT_EQ(std::fflush(other), 0) << "the other file was closed under it";
        std::fclose(other);
    }
}

namespace {

// One record with a handler that notes its completions.
struct Watched : nettest::Guarded {
    CQSocketAsyncEventArgs args;
    std::vector<char> buffer = std::vector<char>(8192);
    int calls = 0;
    uint32_t error = 0;
    std::string data;

    Watched() {
        args.SetBuffer(buffer.data(), static_cast<int>(buffer.size()));
        args.Add([this](void* sender, const CQSocketAsyncEventArgs& a) {
            EXPECT_EQ(sender, nullptr);
            std::lock_guard<std::mutex> guard(lock_);
            ++calls;
            error = a.m_Error;
            data.append(a.m_Buffer.buf, a.m_BytesTransferred);
            changed_.notify_all();
        });
    }
    ~Watched() { args.ClearAll(); }  // waits for a handler call still returning
};

}  // namespace

// Many receives pending at once, each ended its own way: data the peer sends asynchronously
// (one completion for the whole buffer), the own socket closed (aborted), the peer gone or the
// receive direction shut (both orderly: 0 bytes, no error). Each completes exactly once, with
// its own connection's bytes.
TEST(CQIOCP, ManyPendingReceivesCompleteOnceEach) {
    std::vector<std::unique_ptr<Watched>> sends;
    const std::pair<std::function<void(CQSocket&, CQSocket&, int)>, uint32_t> ends[] = {
        {[&](CQSocket&, CQSocket& s, int i) {
             Watched& w = *sends.emplace_back(std::make_unique<Watched>());
             const std::string reply = "reply " + std::to_string(i);
             std::copy(reply.begin(), reply.end(), w.buffer.begin());
             w.args.SetBuffer(w.buffer.data(), int(reply.size()));
             CQIOCP::GetInstance().Add(s.GetSocket());
             EXPECT_EQ(s.SendAsync(w.args), 0);
         },
         0},
        {[](CQSocket& c, CQSocket&, int) { c.Close(); }, platform::ERROR_OPERATION_ABORTED},
        {[](CQSocket&, CQSocket& s, int) { s.Close(); }, 0},
        {[](CQSocket& c, CQSocket&, int) { c.Shuntdown(QNetwork::ShuntdownTyps_Receive); }, 0},
    };
    Loopback lo;
    std::vector<std::pair<std::unique_ptr<CQSocket>, std::unique_ptr<CQSocket>>> pairs;
    std::vector<std::unique_ptr<Watched>> records;
    for (int i = 0; i < 64; ++i) {
        pairs.push_back(lo.Pair());
        records.push_back(std::make_unique<Watched>());
        CQIOCP::GetInstance().Add(pairs[i].first->GetSocket());
        EXPECT_EQ(pairs[i].first->ReceiveAsync(records[i]->args), -1);
        EXPECT_EQ(platform::WSAGetLastError(), platform::WSA_IO_PENDING);
        EXPECT_FALSE(pairs[i].first->IsSync());
    }
    for (int i = 63; i >= 0; --i) ends[i % 4].first(*pairs[i].first, *pairs[i].second, i);
    for (int i = 0; i < 64; ++i) {
        Watched& w = *records[i];
        ASSERT_TRUE(w.WaitUntil([&] { return w.calls > 0; }));
    }
    std::this_thread::sleep_for(30ms);
    for (int i = 0; i < 64; ++i) {
        pairs[i].first->Close();  // nothing pending any more: no further completion
        Watched& w = *records[i];
        EXPECT_EQ(w.Get(w.calls), 1) << i;
        EXPECT_EQ(w.Get(w.error), ends[i % 4].second) << i;
        EXPECT_EQ(w.Get(w.data), i % 4 ? "" : "reply " + std::to_string(i));
    }
    for (auto& w : sends) {  // the sends completed once each, for all their bytes
        ASSERT_TRUE(w->WaitUntil([&] { return w->calls > 0; }));
        EXPECT_EQ(std::to_string(w->Get(w->calls)) + w->Get(w->data).substr(0, 6), "1reply ");
    }
}

TEST(CQEvenHandler, RaisedInOrderWhileOtherThreadsClearAndAdd) {
    QEvent::CQEvenHandler<int, const std::string&> e;
    std::string order;
    e.Add([&](int s, const std::string& a) { order += std::to_string(s) + a; });
    e.m_Handlers.push_back([&](int, const std::string& a) { order += a + "!"; });
    auto copy = e;  // with the handlers, and a lock of its own
    copy.RaisEvent(7, "x");
    EXPECT_EQ(order, "7xx!");

    long calls = 0;  // not atomic: the event's lock keeps the handler calls apart
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) e.RaisEvent(i, "");
        });
    std::thread changer([&] {
        do {  // at least once: on a loaded machine the raisers may all finish before this runs
            e.ClearAll();
            e.Add([&](int, const std::string&) { ++calls; });
        } while (!stop);
    });
    for (auto& t : threads) t.join();
    stop = true;
    changer.join();
    const long before = calls;
    e.RaisEvent(0, "");
    EXPECT_EQ(calls, before + 1);
}
