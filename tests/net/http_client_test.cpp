#include <gtest/gtest.h>

#include "tests/net/net_test_util.h"
#include "varnel/varnel.h"

using nettest::RecordingClient;
using nettest::Server;
using namespace std::chrono_literals;

namespace {

std::string Answer(const std::string& status, const std::string& body,
                   const std::string& extra = "") {
    return "HTTP/1.1 " + status + "\r\n" + extra +
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

}  // namespace

// One connection per answer, closed after it; on the last, `later` follows once Open has
// returned. The body bytes that came with the head go to CheckContent inside Open, on the
// opening thread (none when the first receive ends inside the head, which is then not looked
// for again); every later block, in order and at most 8 KiB each, on the receive thread.
TEST(CQHttpClient, AnswersChallengesAndEarlyEnds) {
    std::string blocks;
    for (int i = 0; i < 4; ++i) blocks += std::string(3000 + 4000 * i, char('a' + i));
    const std::string challenge = "WWW-Authenticate: Digest realm=\"rec\", nonce=\"abc123\"\r\n";
    const std::string plain = "GET /a%20b HTTP/1.1\r\n\r\n";
    const std::string authorized =
        "GET /a%20b HTTP/1.1\r\nAuthorization: Digest username=\"admin\", realm=\"rec\", "
        "nonce=\"abc123\", uri=\"/a b\", response=\"" +
        nettest::AuthTool({"digest", "admin", "rec", "pass", "GET", "/a b", "abc123"}) +
        "\"\r\n\r\n";
    struct Case {
        std::vector<std::string> answers;
        std::string later;
        std::string body;  // what reached CheckContent before `later`
        std::vector<std::string> requests;
    };
    const Case cases[] = {
        {{"HTTP/1.1 200 OK\r\nContent-Type: x\r\n\r\n" + std::string(100, 'F')},
         blocks,
         std::string(100, 'F'),
         {plain}},
        {{"HTTP/1.1 200 OK\r\nContent-"}, "Length: 5\r\n\r\nhello" + blocks, "", {plain}},
        // 401 answered on a new connection
        {{Answer("401 Unauthorized", "denied", challenge),
          Answer("200 OK", "ok body", "X-Pad: longer head\r\n")},
         "",
         "ok body",
         {plain, authorized}},
        // a second 401 is a body, not retried
        {{Answer("401 Unauthorized", "first", challenge),
          Answer("401 Unauthorized", "second", challenge)},
         "",
         "second",
         {plain, authorized}},
        // server closes mid-body
        {{"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + std::string(300, 'm')},
         "",
         std::string(300, 'm'),
         {plain}},
        {{""}, "", "", {plain}},  // server closes without answering
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(&k - cases);
        std::promise<void> opened;
        Server server([&](Server& s) {
            for (size_t i = 0; i < k.answers.size(); ++i) {
                auto c = s.Next();
                nettest::SendAll(*c, k.answers[i]);
                if (i + 1 < k.answers.size() || k.later.empty()) continue;
                opened.get_future().wait();
                for (size_t at = 0; at < k.later.size(); at += 9000) {
                    nettest::SendAll(*c, k.later.substr(at, 9000));
                    std::this_thread::sleep_for(5ms);
                }
            }
            // The next connection must be the test's own sentinel, made after the client ended.
            EXPECT_EQ(nettest::Receive(*s.lo_.listener.Accept(), 8), "sentinel");
        });
        RecordingClient client;
        EXPECT_TRUE(client.Open(server.Url("/a b", "admin:pass@").c_str()));
        const size_t early = client.Get(client.calls).size();
        opened.set_value();
        ASSERT_TRUE(client.WaitRecvEnd());
        const std::thread::id receiver = client.Get(client.endThread);
        const std::vector<RecordingClient::Call> calls = client.Get(client.calls);
        std::string inOpen, after;
        for (size_t i = 0; i < calls.size(); ++i) {
            EXPECT_EQ(calls[i].thread, i < early ? std::this_thread::get_id() : receiver);
            EXPECT_LE(calls[i].bytes.size(), 8192u);
            (i < early ? inOpen : after) += calls[i].bytes;
        }
        EXPECT_EQ(inOpen + after, k.body + k.later);
        if (!k.later.empty()) {  // what came with the head went in Open, in one call
            EXPECT_NE(receiver, std::this_thread::get_id());
            EXPECT_EQ(after + std::to_string(early), k.later + (k.body.empty() ? "0" : "1"));
        }
        EXPECT_TRUE(client.Close());
        QNetwork::CQSocket sentinel;
        sentinel.OpenTCP();
        sentinel.Connect("127.0.0.1", server.lo_.port);
        nettest::SendAll(sentinel, "sentinel");
        server.Join();
        EXPECT_EQ(server.requests, k.requests);
        EXPECT_EQ(client.Get(client.recvEnds), 1);
    }
}

TEST(CQHttpClient, NoConnectionStillEndsOnce) {
    nettest::Loopback named;  // listening, but host names are not resolved
    for (const std::string& url :
         {"http://127.0.0.1:" + std::to_string(nettest::ClosedPort()) + "/x",
          "http://localhost:" + std::to_string(named.port) + "/x", std::string("not a url")}) {
        RecordingClient client;
        testing::internal::CaptureStdout();
        EXPECT_TRUE(client.Open(url.c_str()));
        EXPECT_NE(testing::internal::GetCapturedStdout().find("connect function failed"),
                  std::string::npos);
        ASSERT_TRUE(client.WaitRecvEnd()) << url;
        client.Close();
        EXPECT_TRUE(client.Get(client.calls).empty());
        EXPECT_EQ(client.Get(client.recvEnds), 1);
    }
}

// A server that keeps the connection open and silent, before or after the head: a Close from
// another thread ends the open waiting for the head, or wakes the blocked receive thread, at
// once; once it has returned, RecvEnd has run exactly once and no thread of the client runs.
TEST(CQHttpClient, CloseEndsAnOpenOrAReceiveUnderWay) {
    for (const std::string answer : {"", "HTTP/1.1 200 OK\r\n\r\nstart"}) {
        std::promise<void> done;
        Server server([&](Server& s) {
            auto c = s.Next();
            nettest::SendAll(*c, answer);
            done.get_future().wait();  // the connection stays open and silent
        });
        RecordingClient client;
        std::atomic<bool> opened{false};
        std::thread opener([&] {
            client.Open(server.Url("/live").c_str());
            opened = true;
        });
        // Let the open block for 100 ms, or wait until it has returned with the head: a fixed
        // wait for that failed on a loaded machine under ThreadSanitizer.
        for (int i = 0; i < (answer.empty() ? 100 : 20'000) && !opened; ++i)
            std::this_thread::sleep_for(1ms);
        EXPECT_EQ(opened, !answer.empty());
        EXPECT_EQ(client.Get(client.recvEnds), 0);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(client.Close());
        EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
        EXPECT_EQ(client.Get(client.recvEnds), 1);  // ran before Close returned
        EXPECT_NE(client.Get(client.endThread), std::this_thread::get_id());
        EXPECT_EQ(client.Body(), answer.empty() ? "" : "start");
        EXPECT_TRUE(client.Close());  // nothing open any more
        opener.join();
        done.set_value();
    }
}

TEST(CQHttpClient, TracesAndCompletionHandler) {
    Server server([&](Server& s) { nettest::SendAll(*s.Next(), Answer("200 OK", "x")); });
    std::vector<std::string> traces;
    const auto collect = [](const char* line, void* user) {  // the client's own lines
        const std::string l = line;
        if (l == "\r\n" || l.find("CQHttpClient") != std::string::npos)
            static_cast<std::vector<std::string>*>(user)->push_back(l);
    };
    auto client = std::make_unique<RecordingClient>();
    varnel_set_trace_sink(collect, &traces);
    client->Open(server.Url("/").c_str());
    client->WaitRecvEnd();
    client->Close();
    // RecvAsync by hand: the bytes go to CheckContent and the buffer is zeroed; 0 bytes trace
    // a line end.
    char buffer[8] = "hello";
    QNetwork::CQSocketAsyncEventArgs args;
    args.SetBuffer(buffer, sizeof buffer);
    for (uint32_t n : {5u, 0u}) args.m_BytesTransferred = n, client->RecvAsync(nullptr, args);
    EXPECT_EQ(std::string(buffer, 8) + client->Body(), std::string(8, '\0') + "xhello");
    client.reset();
    varnel_set_trace_sink(nullptr, nullptr);
    std::vector<std::string> expected = {"-----CQHttpClient::Open-----", "-----CQHttpClient::Open",
                                         "-----CQHttpClient::Close-----",
                                         "-----CQHttpClient::Close", ""};
    for (const char* d : {"", " 1", " 2", " 3", " 4", " 5", " 6", "-- "})
        expected.push_back("CQHttpClient::~CQHttpClient(void)" + std::string(d));
    for (std::string& line : expected) line += "\r\n";
    EXPECT_EQ(traces, expected);
}
