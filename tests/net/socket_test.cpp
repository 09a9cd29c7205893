#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "net/socket.h"
#include "platform/socket.h"
#include "tests/net/loopback.h"

using nettest::Loopback;
using QNetwork::CQSocket;

namespace {

// Runs f with the standard output captured and returns what it printed.
template <typename F>
std::string Printed(F f) {
    testing::internal::CaptureStdout();
    f();
    return testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(CQSocket, BlockingRoundTripAndOrderlyClose) {
    Loopback lo;
    ASSERT_GT(lo.port, 0);
    auto [client, server] = lo.Pair();
    ASSERT_NE(server, nullptr);
    EXPECT_TRUE(client->IsSync());
    ASSERT_TRUE(nettest::SendAll(*client, "GET / HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(nettest::ReceiveExactly(*server, 18), "GET / HTTP/1.1\r\n\r\n");
    const std::string big(300000, 'x');
    std::thread writer([&, s = server.get()] {
        nettest::SendAll(*s, big);
        s->Shuntdown(QNetwork::ShuntdownTyps_Send);
    });
    EXPECT_EQ(nettest::ReceiveAll(*client), big);  // ends with 0 at the orderly close
    writer.join();
    char c;
    EXPECT_EQ(client->Receive(&c, 1), 0);
}

TEST(CQSocket, FailuresLeaveNoSocketAndPrintTheirMessage) {
    struct Case {
        const char* name;
        std::function<void(CQSocket&, int)> act;
        std::string message;
    };
    Loopback lo;
    const int closedPort = [] {
        CQSocket probe;  // bound and closed again: nothing listens there
        probe.OpenTCP();
        probe.Bind("127.0.0.1", 0);
        return platform::SocketLocalPort(probe.GetSocket());
    }();
    const Case cases[] = {
        {"host name is not resolved", [](CQSocket& s, int port) { s.Connect("localhost", port); },
         "connect function failed with error: "},
        {"refused", [&](CQSocket& s, int) { s.Connect("127.0.0.1", closedPort); },
         "connect function failed with error: 111\n"},
        {"address in use", [](CQSocket& s, int port) { s.Bind("127.0.0.1", port); },
         "bind failed with error: 98\n"},
        {"listen without socket", [](CQSocket& s, int) { s.Close(), s.Listen(5); },
         "listen failed with error: 9\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CQSocket s;
        s.OpenTCP();
        ASSERT_NE(s.GetSocket(), platform::INVALID_SOCKET);
        const std::string out = Printed([&] { c.act(s, lo.port); });
        EXPECT_EQ(out.substr(0, c.message.size()), c.message);
        EXPECT_EQ(s.GetSocket(), platform::INVALID_SOCKET);
        char buf[4];
        EXPECT_EQ(s.Receive(buf, 4), 0);
        EXPECT_EQ(s.Send("abcd", 4), 0);
    }
}

TEST(CQSocket, ShutdownDirectionsAndUnknownValue) {
    Loopback lo;
    auto [client, server] = lo.Pair();
    EXPECT_TRUE(client->Shuntdown(static_cast<QNetwork::ShuntdownTyps>(3)));  // nothing happens
    ASSERT_TRUE(nettest::SendAll(*client, "ping"));
    EXPECT_EQ(nettest::ReceiveExactly(*server, 4), "ping");
    EXPECT_TRUE(client->Shuntdown(QNetwork::ShuntdownTyps_Send));
    char buf[8];
    EXPECT_EQ(server->Receive(buf, 8), 0);           // the peer sees the end of our sending
    ASSERT_TRUE(nettest::SendAll(*server, "pong"));  // receiving still works
    EXPECT_EQ(nettest::ReceiveExactly(*client, 4), "pong");
    CQSocket none;
    EXPECT_TRUE(none.Shuntdown(QNetwork::ShuntdownTyps_Both));
    EXPECT_TRUE(none.Close());
}

TEST(CQSocket, SendToVanishedPeerFailsWithoutSignal) {
    Loopback lo;
    auto [client, server] = lo.Pair();
    server->Close();
    // The first send may still be accepted; later ones see the reset. SIGPIPE would end the
    // test process instead.
    const std::string block(65536, 'y');
    int last = 0;
    for (int i = 0; i < 50 && last >= 0; ++i) last = client->Send(block.data(), 65536);
    EXPECT_EQ(last, -1);
}

TEST(CQSocket, BindToEmptyHostUsesTheHostsAddress) {
    const std::string address = platform::LocalHostAddress();
    if (address.empty()) GTEST_SKIP() << "this host's name has no IPv4 address";
    CQSocket s;
    s.OpenTCP();
    s.Bind("", 0);
    ASSERT_NE(s.GetSocket(), platform::INVALID_SOCKET);
    s.Listen(1);
    CQSocket c;
    c.OpenTCP();
    c.Connect(address.c_str(), platform::SocketLocalPort(s.GetSocket()));
    EXPECT_NE(c.GetSocket(), platform::INVALID_SOCKET);
    EXPECT_NE(s.Accept(), nullptr);
}

TEST(CQSocket, CloseFromAnotherThreadWakesBlockedReceiveAndAccept) {
    Loopback lo;
    auto [client, server] = lo.Pair();
    int received = 99;
    std::thread blocked([&, c = client.get()] {
        char buf[16];
        received = c->Receive(buf, 16);
    });
    std::unique_ptr<CQSocket> accepted = std::make_unique<CQSocket>();
    std::thread acceptor([&] { accepted = lo.listener.Accept(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    client->Close();
    lo.listener.Close();
    blocked.join();
    acceptor.join();
    EXPECT_LE(received, 0);
    EXPECT_EQ(accepted, nullptr);
    EXPECT_EQ(client->GetSocket(), platform::INVALID_SOCKET);
}
