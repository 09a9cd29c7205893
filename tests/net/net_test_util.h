// Helpers of the network tests: loopback connections, temporary folders, the independent
// credential script, servers of the tests' own and clients that record what reaches their hooks.
#pragma once
#include <gtest/gtest.h>

// With the standard headers the network tests use.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "net/http/http_client.h"
#include "net/http/http_request.h"
#include "net/http/http_response.h"
#include "net/socket.h"
#include "platform/socket.h"

namespace nettest {

using QNetwork::CQSocket;

// A listener on a free port of 127.0.0.1; Pair() gives a connected client and server side.
struct Loopback {
    CQSocket listener;
    int port;
    Loopback() {
        listener.OpenTCP();
        listener.Bind("127.0.0.1", 0);
        listener.Listen(5);
        port = platform::SocketLocalPort(listener.GetSocket());
    }
    std::pair<std::unique_ptr<CQSocket>, std::unique_ptr<CQSocket>> Pair() {
        auto client = std::make_unique<CQSocket>();
        client->OpenTCP();
        client->Connect("127.0.0.1", port);
        return {std::move(client), listener.Accept()};
    }
};

// A port nothing listens on (bound, then closed again).
inline int ClosedPort() {
    CQSocket probe;
    probe.OpenTCP();
    probe.Bind("127.0.0.1", 0);
    return platform::SocketLocalPort(probe.GetSocket());
}

inline void SendAll(CQSocket& s, const std::string& data) {
    for (int done = 0, n; done < int(data.size()); done += n)
        if ((n = s.Send(data.data() + done, int(data.size()) - done)) < 1) return;
}

// Polls until done holds (true) or the limit has passed (false): for states no one signals.
inline bool PollUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (; !done(); std::this_thread::sleep_for(std::chrono::milliseconds(2)))
        if (std::chrono::steady_clock::now() > end) return false;
    return true;
}

// Receives until `count` bytes, or until the connection ends.
inline std::string Receive(CQSocket& s, size_t count = SIZE_MAX) {
    std::string out;
    char buf[4096];
    for (int n; out.size() < count &&
                (n = s.Receive(buf, int(std::min(sizeof buf, count - out.size())))) > 0;)
        out.append(buf, size_t(n));
    return out;
}

struct TempDir {
    std::filesystem::path path = std::filesystem::temp_directory_path() /
                                 ("varnel-net-" + std::to_string(std::random_device()()));
    TempDir() {
        std::filesystem::create_directories(path);
        // Servers started as root serve as an unprivileged user, who must read in here.
        std::filesystem::permissions(path, std::filesystem::perms::all);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string operator/(const std::string& name) const { return (path / name).string(); }
};

inline std::string ReadFile(const std::string& name) {
    std::ifstream f(name, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

inline std::string Quote(const std::string& arg) {
    std::string q = "'";
    for (char c : arg) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// The output line of tests/net/http_auth.py with these arguments.
inline std::string AuthTool(const std::vector<std::string>& args) {
    // Found beside this header, which the stream source tests and their fuzz harness include too.
    std::string cmd =
        "python3 " + Quote(std::filesystem::path(__FILE__).replace_filename("http_auth.py"));
    for (const std::string& a : args) cmd += " " + Quote(a);
    FILE* p = popen(cmd.c_str(), "r");
    char line[256] = {};
    EXPECT_NE(std::fgets(line, sizeof line, p), nullptr);
    EXPECT_EQ(pclose(p), 0) << cmd;
    return std::string(line, std::strcspn(line, "\n"));
}

// Records written under lock_ by other threads: Get copies one under it, WaitUntil waits until
// the writers make done true.
class Guarded {
public:
    template <typename T>
    T Get(const T& record) {
        std::lock_guard<std::mutex> guard(lock_);
        return record;
    }
    bool WaitUntil(const std::function<bool()>& done,
                   std::chrono::seconds limit = std::chrono::seconds(20)) {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, limit, done);
    }

protected:
    std::mutex lock_;
    std::condition_variable changed_;
};

// A client whose hooks record under the lock.
template <typename Client>
class Recorder : public Client, public Guarded {};

// Records every CheckContent (bytes and thread) and RecvEnd call.
class RecordingClient : public Recorder<QNetwork::QProtocol::HTTP::CQHttpClient> {
public:
    struct Call {
        std::thread::id thread;
        std::string bytes;
    };
    QNetwork::QProtocol::HTTP::CQHttpRequest& Request() { return *m_pRequest; }
    int LastCode() const { return m_pResponse->GetResponseCode(); }
    using CQHttpClient::RecvAsync;
    std::string Body() {
        std::string all;
        for (const Call& c : Get(calls)) all += c.bytes;
        return all;
    }
    bool WaitRecvEnd() {
        return WaitUntil([this] { return recvEnds > 0; });
    }

    std::vector<Call> calls;  // these three read through Get
    int recvEnds = 0;
    std::thread::id endThread;

protected:
    void CheckContent(unsigned char* data, int count) override {
        std::lock_guard<std::mutex> guard(lock_);
        calls.push_back({std::this_thread::get_id(), std::string((char*)data, size_t(count))});
    }
    bool RecvEnd() override {
        std::lock_guard<std::mutex> guard(lock_);
        ++recvEnds;
        endThread = std::this_thread::get_id();
        changed_.notify_all();
        return true;
    }
};

// A server of the test's own: its script runs on a thread; the request heads it read are kept.
class Server {
public:
    explicit Server(std::function<void(Server&)> script)
        : thread_([this, script] { script(*this); }) {}
    ~Server() { Join(); }
    void Join() {
        if (thread_.joinable()) thread_.join();
    }
    // Accepts the next connection and reads one request head from it.
    std::unique_ptr<CQSocket> Next() {
        auto c = lo_.listener.Accept();  // none once the listener is closed
        std::string head;
        char ch;
        while (c && head.find("\r\n\r\n") == std::string::npos && c->Receive(&ch, 1) == 1)
            head += ch;
        requests.push_back(head);
        return c;
    }
    std::string Url(const std::string& path, const std::string& credentials = "") const {
        return "http://" + credentials + "127.0.0.1:" + std::to_string(lo_.port) + path;
    }
    Loopback lo_;                       // listening before the script starts
    std::vector<std::string> requests;  // read after Join

private:
    std::thread thread_;
};

}  // namespace nettest
