// The push client against a multipart/x-mixed-replace server of the test's own on loopback (its
// chunked row sends what the ffmpeg program's mpjpeg server sends: chunks, "Content-length").
// Then the end of a connection, Close racing with completions, calls from inside the hooks, and
// connections that are refused or stall.
#include <gtest/gtest.h>

#include "net/http/http_push_client.h"
#include "tests/net/net_test_util.h"

using QNetwork::QProtocol::HTTP::CQHttpPushClient;
using namespace std::chrono_literals;

namespace {

// Collects every part and every closed event; flags any hook that runs after Close returned.
class Collector final : public nettest::Recorder<CQHttpPushClient> {
public:
    Collector() {
        m_Closed.Add([this](CQHttpPushClient* sender, int32_t error) {
            {
                std::lock_guard<std::mutex> guard(lock_);
                EXPECT_EQ(sender, this);
                ++closedEvents;
                closedError = error;
                lateCalls += afterClose_;
                changed_.notify_all();
            }
            // A copy: a delete in it destroys the member while it runs.
            if (auto act = inClosed) act(*this);  // may delete this: nothing follows
        });
    }
    ~Collector() { Close(); }

    void CloseAndMark() {
        Close();
        std::lock_guard<std::mutex> guard(lock_);
        afterClose_ = true;
    }
    bool WaitClosed(std::chrono::seconds limit = 20s) {
        return WaitUntil([this] { return closedEvents > 0; }, limit);
    }

    // Read through Get.
    std::vector<std::string> parts;
    int closedEvents = 0;
    int closedError = -1;
    int lateCalls = 0;
    // Set before Open: run from inside CheckContent at the first part, and from inside the
    // closed event. Either may delete the collector.
    std::function<void(Collector&)> inPart, inClosed;

protected:
    void CheckContent(int count) override {
        bool first = false;
        {
            std::lock_guard<std::mutex> guard(lock_);
            EXPECT_GE(count, 0);
            parts.emplace_back(m_msRecv.ToChar(), static_cast<size_t>(count));
            lateCalls += afterClose_;
            first = parts.size() == 1;
            changed_.notify_all();
        }
        if (auto act = inPart; first && act) act(*this);  // may delete this: nothing follows
    }

private:
    bool afterClose_ = false;
};

using nettest::Server;

const std::string kHead =
    "HTTP/1.1 200 OK\r\nContent-Type: multipart/x-mixed-replace;boundary=abc\r\n\r\n";

}  // namespace

TEST(CQHttpPushClient, OwnServerStreams) {
    const std::string digest =
        nettest::AuthTool({"digest", "admin", "cam", "pw", "GET", "/cam", "n0nce"});
    const std::string mixed = "HTTP/1.1 200 OK\r\nContent-Type: multipart/x-mixed-replace;";
    std::vector<std::string> bytewise;
    for (char c : kHead) bytewise.push_back(std::string(1, c));
    bytewise.push_back("--abc\r\nContent-Length: 4\r\n\r\na--b\r\n--abc\r\n\r\nc--d\r\n--abc--");
    struct Case {
        std::vector<std::string> pieces;  // sent apart, so that they arrive apart
        std::vector<std::string> parts;
    };
    const Case cases[] = {
        // Content-Length split over receives; a marker before the announced length; the last
        // part cut in the middle, not delivered
        {{kHead, "--abc\r\nContent-Type: image/jpeg\r\nContent-Len", "gth: 10\r\n\r\nhe",
          "llo\r\n--abc\r\nContent-Length: 2\r\n\r\nok\r\n--abc\r\nContent-Length: 9\r\n\r\nhalf"},
         {"hello", "ok"}},
        // head byte by byte, "--" inside the parts
        {bytewise, {"a--b", "c--d"}},
        // head and first part in one segment, parts without length
        {{kHead + "--abc\r\n\r\nfirst\r\n--abc\r\n\r\nsecond\r\n--abc--\r\n"}, {"first", "second"}},
        // boundary a-b: its dashes are dropped, so a server must write --ab lines ("--a-b" is
        // not the marker: D is skipped as junk)
        {{mixed + "boundary=a-b\r\n\r\n",
          "--ab\r\nContent-Length: 1\r\n\r\nC\r\n--a-b\r\nContent-Length: 1\r\n\r\nD\r\n"},
         {"C"}},
        // chunked transfer coding, chunks cut through headers
        {{mixed + "boundary=abc\r\nTransfer-Encoding: chunked\r\n\r\n",
          "11\r\n--abc\r\nContent-le\r\nd\r\nngth: 4\r\n\r\nab\r\n22\r\n"
          "cd\r\n--abc\r\nContent-length: 2\r\n\r\nef\r\n0\r\n\r\n"},
         {"abcd", "ef"}},
        // a Digest challenge on a connection of its own, answered on the next
        {{"HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"cam\", nonce=\"n0nce\", "
          "qop=\"auth\"\r\nContent-Length: 0\r\n\r\n",
          kHead, "--abc\r\nContent-Length: 2\r\n\r\nok\r\n"},
         {"ok"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        const bool challenge = c.pieces[0].starts_with("HTTP/1.1 401");
        Server server([&](Server& s) {
            auto conn = s.Next();
            for (const std::string& piece : c.pieces) {
                nettest::SendAll(*conn, piece);
                if (piece.starts_with("HTTP/1.1 401")) conn.reset(), conn = s.Next();
                std::this_thread::sleep_for(5ms);
            }
        });  // the connection closes when the script ends
        Collector client;
        EXPECT_TRUE(client.Open(server.Url("/cam", "admin:pw@").c_str()));
        ASSERT_TRUE(client.WaitClosed());
        server.Join();
        EXPECT_EQ(client.Get(client.parts), c.parts);
        EXPECT_EQ(client.Get(client.closedError), 0);  // an orderly close
        ASSERT_EQ(server.requests.size(), challenge ? 2u : 1u);
        EXPECT_EQ(server.requests.back(),
                  "GET /cam HTTP/1.1\r\n" +
                      (challenge ? "Authorization: Digest username=\"admin\", realm=\"cam\", "
                                   "nonce=\"n0nce\", uri=\"/cam\", response=\"" +
                                       digest + "\"\r\n"
                                 : "") +
                      "\r\n");
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(client.Get(client.closedEvents), 1);  // once, and no receive after it
    }
}

// Close from another thread while receives are pending or completing, then destroy the client
// at once: nothing may run afterwards (ASan and TSan watch the memory).
TEST(CQHttpPushClient, CloseFromAnotherThreadStopsEverything) {
    for (int round = 0; round < 20; ++round) {
        std::atomic<bool> stop{false};
        Server server([&](Server& s) {
            auto conn = s.Next();
            nettest::SendAll(*conn, kHead);
            // Even rounds: parts keep coming while Close runs. Odd: a receive waits idle.
            const std::string part =
                "--abc\r\nContent-Length: 1000\r\n\r\n" + std::string(1000, 'p');
            while (!stop) {
                if (round % 2 == 0 && conn->Send(part.data(), int(part.size())) < 1) break;
                std::this_thread::sleep_for(1ms);
            }
        });
        auto client = std::make_unique<Collector>();
        client->Open(server.Url("/cam").c_str());
        if (round % 2 == 0) client->WaitUntil([&] { return client->parts.size() > size_t(round); });
        std::thread closer([&] { client->CloseAndMark(); });
        closer.join();
        std::this_thread::sleep_for(5ms);
        EXPECT_EQ(client->Get(client->lateCalls), 0);
        EXPECT_EQ(client->Get(client->closedEvents), 0);  // Close raises none
        client.reset();
        stop = true;
    }
}

// Calls from inside the hooks: Close shuts at once (in CheckContent the rest of the receive is
// not delivered and no event follows); Open is refused; a delete is safe, and nothing of the
// client runs afterwards (AddressSanitizer watches the freed collector).
TEST(CQHttpPushClient, CloseOpenAndDeleteFromInsideTheHooks) {
    const std::string parts =
        "--abc\r\nContent-Length: 1\r\n\r\na\r\n--abc\r\nContent-Length: 1\r\n\r\nb\r\n"
        "--abc\r\nContent-Length: 1\r\n\r\nc\r\n";
    enum Act { Close, Open, Delete };
    // In the first part (else in the closed event), and what is done there.
    const std::pair<bool, Act> cases[] = {
        {true, Close}, {false, Close}, {false, Open}, {true, Delete}, {false, Delete}};
    for (const auto& c : cases) {
        const bool inPart = c.first;  // by name: clang 14 captures no structured binding
        const Act act = c.second;
        SCOPED_TRACE(std::to_string(inPart) + " " + std::to_string(act));
        Server server([&](Server& s) {
            auto conn = s.Next();
            nettest::SendAll(*conn, kHead);
            std::this_thread::sleep_for(20ms);
            nettest::SendAll(*conn, parts);
            if (inPart) nettest::Receive(*conn);  // until the client closes
        });
        auto* client = new Collector;
        std::vector<std::string> seen;
        int events = -1;
        bool opened = true;
        std::promise<void> acted;
        (inPart ? client->inPart : client->inClosed) = [&](Collector& self) {
            seen = self.Get(self.parts);
            events = self.Get(self.closedEvents);
            if (act == Close) self.Close();
            if (act == Open) opened = self.Open(server.Url("/cam").c_str());
            if (act == Delete) delete &self;
            acted.set_value();
        };
        client->Open(server.Url("/cam").c_str());
        ASSERT_EQ(acted.get_future().wait_for(20s), std::future_status::ready);
        server.Join();  // the client's Close or delete ended the connection
        std::this_thread::sleep_for(50ms);
        if (act != Delete) {  // and nothing came after the hook
            EXPECT_EQ(client->Get(client->parts), seen);
            EXPECT_EQ(client->Get(client->closedEvents), events);
            delete client;
        }
        EXPECT_EQ(seen, (inPart ? std::vector<std::string>{"a"}
                                : std::vector<std::string>{"a", "b", "c"}));
        EXPECT_EQ(events, inPart ? 0 : 1);
        EXPECT_EQ(opened, act != Open);
        EXPECT_EQ(server.requests.size(), 1u);
    }
}

// A refused connection starts no receive and raises no event; a connection on which nothing
// comes for the idle limit is shut, and the closed event reports the stall; a Close from
// another thread ends an Open waiting for a head that never comes.
TEST(CQHttpPushClient, RefusedStalledAndSilentConnections) {
    Collector refused;
    EXPECT_TRUE(
        refused.Open(("http://127.0.0.1:" + std::to_string(nettest::ClosedPort())).c_str()));
    std::promise<void> done;
    Server server([&](Server& s) {
        auto stalled = s.Next();
        nettest::SendAll(*stalled, kHead + "--abc\r\nContent-Length: 2\r\n\r\nok\r\n--abc\r\n");
        auto silent = s.Next();  // never answered
        done.get_future().wait();
    });
    Collector client;
    client.SetIdleLimit(300);
    client.Open(server.Url("/cam").c_str());
    ASSERT_TRUE(client.WaitClosed());
    EXPECT_EQ(client.Get(client.closedError), CQHttpPushClient::kStalledError);
    EXPECT_EQ(client.Get(client.parts), std::vector<std::string>{"ok"});

    const auto start = std::chrono::steady_clock::now();
    std::thread opener([&] { client.Open(server.Url("/cam").c_str()); });
    std::this_thread::sleep_for(100ms);
    client.Close();
    opener.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start,
              std::chrono::milliseconds(CQHttpPushClient::kHeadTimeoutMs / 2));
    EXPECT_EQ(client.Get(client.closedEvents) + refused.Get(refused.closedEvents), 1);
    done.set_value();
}
