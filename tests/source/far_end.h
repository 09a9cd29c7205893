// The recorder's end of a playback connection on loopback, for the stream source tests: it
// accepts one connection, answers the GET with a response head and the first body bytes, then
// sends what the test gives it and reads the command lines that come back.
#pragma once

#include "tests/net/net_test_util.h"

namespace srctest {

class FarEnd {
public:
    // The source's OpenURL waits for the answer: it comes from a thread of its own.
    explicit FarEnd(const std::vector<uint8_t>& first = {})
        : server_([this, body = std::string(first.begin(), first.end())](nettest::Server& s) {
              if ((conn_ = s.Next()) != nullptr)
                  nettest::SendAll(*conn_,
                                   "HTTP/1.1 200 OK\r\nContent-Type: "
                                   "application/octet-stream\r\n\r\n" +
                                       body);
          }) {}
    ~FarEnd() {
        server_.lo_.listener.Close();
        Answered();
    }

    std::string Url() const { return server_.Url("/PlayBack1.cgi?Key=1"); }
    // Sends more body bytes, after the response head; takes in the lines come meanwhile, so
    // that a source sending commands all the time is never held up by a full connection.
    void Send(const std::vector<uint8_t>& bytes) {
        Lines(SIZE_MAX, 0);
        if (Answered()) nettest::SendAll(*conn_, std::string(bytes.begin(), bytes.end()));
    }
    // Ends the connection as a recorder does when the recording is over.
    void CloseConnection() {
        if (Answered()) conn_->Shuntdown(QNetwork::ShuntdownTyps_Send);
    }
    // The text after the request head (the command lines) once it has at least n bytes, or
    // when ms have passed without them.
    const std::string& Lines(size_t n, int ms = 5000) {
        using namespace std::chrono;
        const auto until = steady_clock::now() + milliseconds(ms);
        char buf[4096];
        while (Answered() && lines_.size() < n) {
            const auto left = duration_cast<milliseconds>(until - steady_clock::now()).count();
            int got = 0;
            if (conn_->WaitReadable(static_cast<int>(std::max<int64_t>(left, 0))) != 1 ||
                (got = conn_->Receive(buf, sizeof buf)) < 1)
                break;
            lines_.append(buf, static_cast<size_t>(got));
        }
        return lines_;
    }

private:
    bool Answered() {
        server_.Join();
        return conn_ != nullptr;
    }

    std::unique_ptr<QNetwork::CQSocket> conn_;
    std::string lines_;       // the command lines after the request head
    nettest::Server server_;  // last: its thread sets conn_
};

}  // namespace srctest
