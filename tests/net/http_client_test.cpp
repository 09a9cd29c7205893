#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/iocp.h"
#include "net/socket.h"
#include "tests/net/http_test_util.h"
#include "tests/net/loopback.h"
#include "varnel/varnel.h"

using nettest::RecordingClient;
using QNetwork::CQSocket;

namespace {

// Reads one request head (up to and including the empty line).
std::string ReadRequest(CQSocket& s) {
    std::string text;
    char c;
    while (text.size() < 65536 && (text.size() < 4 || text.compare(text.size() - 4, 4, "\r\n\r\n")))
        if (s.Receive(&c, 1) == 1)
            text += c;
        else
            break;
    return text;
}

// A server of the test's own: its script runs on a thread with the listener; the requests it
// read are kept for the test to check.
class Server {
public:
    template <typename Script>
    explicit Server(Script script) {
        thread_ = std::thread([this, script] { script(*this); });
    }
    ~Server() { Join(); }
    void Join() {
        if (thread_.joinable()) thread_.join();
    }

    std::unique_ptr<CQSocket> Accept() { return lo_.listener.Accept(); }
    std::string Read(CQSocket& s) {
        std::string r = ReadRequest(s);
        std::lock_guard<std::mutex> guard(lock_);
        requests_.push_back(r);
        return r;
    }
    std::vector<std::string> Requests() {
        std::lock_guard<std::mutex> guard(lock_);
        return requests_;
    }
    std::string Url(const std::string& path, const std::string& credentials = "") const {
        return "http://" + credentials + "127.0.0.1:" + std::to_string(lo_.port) + path;
    }
    int Port() const { return lo_.port; }

private:
    nettest::Loopback lo_;  // listening before the script starts
    std::mutex lock_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

std::string Ok(const std::string& body, const std::string& extra = "") {
    return "HTTP/1.1 200 OK\r\n" + extra + "Content-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

std::string Challenge(const std::string& body) {
    return "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"rec\", "
           "nonce=\"abc123\"\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

}  // namespace

TEST(CQHttpClient, FirstBodyBytesFromOpenThenEveryBlockInOrder) {
    std::promise<void> opened;
    const std::string first(100, 'F');
    std::vector<std::string> blocks;
    for (int i = 0; i < 4; ++i) blocks.push_back(std::string(3000 + 1000 * i, char('a' + i)));
    Server server([&](Server& s) {
        auto c = s.Accept();
        s.Read(*c);
        nettest::SendAll(
            *c, "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n" + first);
        opened.get_future().wait();
        for (const std::string& b : blocks) {
            nettest::SendAll(*c, b);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    RecordingClient client;
    EXPECT_TRUE(client.Open(server.Url("/PlayBack1.cgi?begin=2024-01-01 00:00:00").c_str()));
    std::vector<RecordingClient::Call> calls = client.Calls();
    ASSERT_EQ(calls.size(), 1u);  // the bytes that came with the head, on the opening thread
    EXPECT_EQ(calls[0].bytes, first);
    EXPECT_EQ(calls[0].thread, std::this_thread::get_id());
    opened.set_value();

    ASSERT_TRUE(client.WaitRecvEnd());
    calls = client.Calls();
    std::string later;
    for (size_t i = 1; i < calls.size(); ++i) {
        EXPECT_NE(calls[i].thread, std::this_thread::get_id());
        EXPECT_EQ(calls[i].thread, client.RecvEndThread());
        EXPECT_LE(calls[i].bytes.size(), 8192u);
        later += calls[i].bytes;
    }
    std::string all;
    for (const std::string& b : blocks) all += b;
    EXPECT_TRUE(later == all);
    EXPECT_TRUE(client.Close());
    EXPECT_EQ(client.RecvEnds(), 1);
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests()[0],
              "GET /PlayBack1.cgi?begin=2024-01-01%2000:00:00 HTTP/1.1\r\n\r\n");
}

TEST(CQHttpClient, DigestChallengeAnsweredOnANewConnection) {
    Server server([&](Server& s) {
        auto c1 = s.Accept();
        s.Read(*c1);
        nettest::SendAll(*c1, Challenge("denied"));
        c1->Close();
        auto c2 = s.Accept();
        s.Read(*c2);
        nettest::SendAll(*c2, Ok("ok body", "X-Longer-Head: makes this head longer\r\n"));
    });
    RecordingClient client;
    client.Open(server.Url("/a b?c=d", "admin:pass@").c_str());
    ASSERT_TRUE(client.WaitRecvEnd());
    EXPECT_EQ(client.Body(), "ok body");  // only the second answer's body, at its own offset
    client.Close();
    EXPECT_EQ(client.RecvEnds(), 1);
    const std::vector<std::string> requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0], "GET /a%20b?c=d HTTP/1.1\r\n\r\n");
    const std::string response =
        nettest::AuthTool({"digest", "admin", "rec", "pass", "GET", "/a b?c=d", "abc123"});
    EXPECT_EQ(requests[1],
              "GET /a%20b?c=d HTTP/1.1\r\nAuthorization: Digest username=\"admin\", "
              "realm=\"rec\", nonce=\"abc123\", uri=\"/a b?c=d\", response=\"" +
                  response + "\"\r\n\r\n");
}

TEST(CQHttpClient, SecondChallengeIsABodyAndNotRetried) {
    std::string third;
    Server server([&](Server& s) {
        for (const char* body : {"first", "second"}) {
            auto c = s.Accept();
            s.Read(*c);
            nettest::SendAll(*c, Challenge(body));
        }
        // The next connection must be the test's own, made after the client has ended.
        auto c3 = s.Accept();
        third = nettest::ReceiveExactly(*c3, 8);
    });
    RecordingClient client;
    client.Open(server.Url("/x", "u:wrong@").c_str());
    ASSERT_TRUE(client.WaitRecvEnd());
    EXPECT_EQ(client.Body(), "second");
    client.Close();
    CQSocket sentinel;
    sentinel.OpenTCP();
    sentinel.Connect("127.0.0.1", server.Port());
    nettest::SendAll(sentinel, "sentinel");
    server.Join();
    EXPECT_EQ(third, "sentinel");
    EXPECT_EQ(client.RecvEnds(), 1);
}

TEST(CQHttpClient, ConnectionsThatEndEarly) {
    // Each case: what the server does after reading the request, and the body the client must
    // have seen when its one RecvEnd has run.
    struct Case {
        const char* name;
        std::function<void(CQSocket&)> answer;
        std::string body;
    };
    const Case cases[] = {
        {"server closes mid-body",
         [](CQSocket& c) {
             nettest::SendAll(
                 c, "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + std::string(300, 'm'));
         },
         std::string(300, 'm')},
        {"server closes after the head", [](CQSocket& c) { nettest::SendAll(c, Ok("")); }, ""},
        {"server closes without answering", [](CQSocket&) {}, ""},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Server server([&](Server& s) {
            auto c = s.Accept();
            s.Read(*c);
            k.answer(*c);
        });
        RecordingClient client;
        client.Open(server.Url("/").c_str());
        ASSERT_TRUE(client.WaitRecvEnd());
        server.Join();
        EXPECT_EQ(client.Body(), k.body);
        client.Close();
        EXPECT_EQ(client.RecvEnds(), 1);
    }
}

TEST(CQHttpClient, NoConnectionStillEndsOnce) {
    const int closedPort = [] {
        CQSocket probe;
        probe.OpenTCP();
        probe.Bind("127.0.0.1", 0);
        return platform::SocketLocalPort(probe.GetSocket());
    }();
    nettest::Loopback named;  // listening, but names are not resolved
    for (const std::string& url :
         {"http://127.0.0.1:" + std::to_string(closedPort) + "/x",
          "http://localhost:" + std::to_string(named.port) + "/x", std::string("not a url")}) {
        SCOPED_TRACE(url);
        RecordingClient client;
        testing::internal::CaptureStdout();
        EXPECT_TRUE(client.Open(url.c_str()));
        const std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_NE(printed.find("connect function failed with error: "), std::string::npos);
        ASSERT_TRUE(client.WaitRecvEnd());
        EXPECT_TRUE(client.Calls().empty());
        EXPECT_NE(client.RecvEndThread(), std::this_thread::get_id());
        client.Close();
        EXPECT_EQ(client.RecvEnds(), 1);
    }
}

TEST(CQHttpClient, CloseWakesTheBlockedReceiveThread) {
    std::promise<void> done;
    Server server([&](Server& s) {
        auto c = s.Accept();
        s.Read(*c);
        nettest::SendAll(*c, "HTTP/1.1 200 OK\r\n\r\nstart");
        done.get_future().wait();  // keeps the connection open and silent
    });
    RecordingClient client;
    client.Open(server.Url("/live").c_str());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let the thread block
    EXPECT_EQ(client.RecvEnds(), 0);
    EXPECT_TRUE(client.Close());
    EXPECT_EQ(client.RecvEnds(), 1);  // ran on the receive thread before Close returned
    EXPECT_NE(client.RecvEndThread(), std::this_thread::get_id());
    EXPECT_EQ(client.Body(), "start");
    EXPECT_TRUE(client.Close());  // a second Close finds nothing open
    done.set_value();
}

TEST(CQHttpClient, IncompleteHeadInFirstReceivePassesNothingFromOpen) {
    std::promise<void> opened;
    Server server([&](Server& s) {
        auto c = s.Accept();
        s.Read(*c);
        nettest::SendAll(*c, "HTTP/1.1 200 OK\r\nContent-");
        opened.get_future().wait();
        nettest::SendAll(*c, "Length: 5\r\n\r\nhello");
    });
    RecordingClient client;
    client.Open(server.Url("/").c_str());
    EXPECT_TRUE(client.Calls().empty());
    opened.set_value();
    ASSERT_TRUE(client.WaitRecvEnd());
    // The rest of the head is not looked for again: it arrives as body bytes.
    EXPECT_EQ(client.Body(), "Length: 5\r\n\r\nhello");
    client.Close();
    EXPECT_EQ(client.RecvEnds(), 1);
}

namespace {

struct TraceLines {
    std::mutex lock;
    std::vector<std::string> lines;
    static void Collect(const char* line, void* user) {
        auto* t = static_cast<TraceLines*>(user);
        std::lock_guard<std::mutex> guard(t->lock);
        t->lines.emplace_back(line);
    }
};

class AsyncClient : public RecordingClient {
public:
    void Completed(void* sender, const QNetwork::CQSocketAsyncEventArgs& args) {
        RecvAsync(sender, args);
    }
};

}  // namespace

TEST(CQHttpClient, TracesOfOpenCloseAndDestruction) {
    Server server([&](Server& s) {
        auto c = s.Accept();
        s.Read(*c);
        nettest::SendAll(*c, Ok("x"));
    });
    TraceLines traces;
    {
        auto client = std::make_unique<RecordingClient>();
        varnel_set_trace_sink(&TraceLines::Collect, &traces);
        client->Open(server.Url("/").c_str());
        client->WaitRecvEnd();
        client->Close();
        client.reset();
        varnel_set_trace_sink(nullptr, nullptr);
    }
    const std::vector<std::string> expected = {
        "-----CQHttpClient::Open-----\r\n",        "-----CQHttpClient::Open\r\n",
        "-----CQHttpClient::Close-----\r\n",       "-----CQHttpClient::Close\r\n",
        "CQHttpClient::~CQHttpClient(void)\r\n",   "CQHttpClient::~CQHttpClient(void) 1\r\n",
        "CQHttpClient::~CQHttpClient(void) 2\r\n", "CQHttpClient::~CQHttpClient(void) 3\r\n",
        "CQHttpClient::~CQHttpClient(void) 4\r\n", "CQHttpClient::~CQHttpClient(void) 5\r\n",
        "CQHttpClient::~CQHttpClient(void) 6\r\n", "CQHttpClient::~CQHttpClient(void)-- \r\n",
    };
    EXPECT_EQ(traces.lines, expected);
}

TEST(CQHttpClient, RecvAsyncForwardsCompletedReceives) {
    AsyncClient client;
    QNetwork::CQSocketAsyncEventArgs args;
    char buffer[64] = {};
    args.SetBuffer(buffer, sizeof buffer);
    // Through the real completion port first.
    args.Add([&](void* sender, const QNetwork::CQSocketAsyncEventArgs& a) {
        client.Completed(sender, a);
    });
    nettest::Loopback lo;
    auto [near, far] = lo.Pair();
    QNetwork::CQIOCP::GetInstance().Add(near->GetSocket());
    near->ReceiveAsync(args);
    nettest::SendAll(*far, "hello");
    ASSERT_TRUE(client.WaitBody(5));
    EXPECT_EQ(client.Body(), "hello");
    near->Close();

    // Then by hand: the buffer is zeroed after the hook, and a count of 0 reaches nothing.
    args.ClearAll();
    std::memcpy(buffer, "abc", 3);
    args.m_BytesTransferred = 3;
    client.Completed(nullptr, args);
    EXPECT_EQ(client.Body(), "helloabc");
    EXPECT_EQ(std::string(buffer, 3), std::string(3, '\0'));
    args.m_BytesTransferred = 0;
    client.Completed(nullptr, args);
    EXPECT_EQ(client.Calls().size(), 2u);
    EXPECT_EQ(client.RecvEnds(), 0);
}
