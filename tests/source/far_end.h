// The recorder's end of a playback connection on loopback, for the stream source tests: it
// accepts one connection, answers the GET with a response head and the first body bytes, then
// sends what the test gives it and reads the command lines that come back.
#pragma once

#include "tests/net/net_test_util.h"

namespace srctest {

class FarEnd {
public:
    explicit FarEnd(const std::vector<uint8_t>& first = {}) {
        // The source's OpenURL waits for the answer: it comes from a thread of its own.
        answer_ = std::thread([this, body = std::string(first.begin(), first.end())] {
            conn_ = lo_.listener.Accept();
            char buf[4096];
            size_t end;
            while ((end = lines_.find("\r\n\r\n")) == std::string::npos) {
                const int n = conn_ ? conn_->Receive(buf, sizeof buf) : 0;
                if (n < 1) return;
                lines_.append(buf, static_cast<size_t>(n));
            }
            lines_.erase(0, end + 4);  // what follows the request head
            nettest::SendAll(
                *conn_, "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n" + body);
        });
    }
    ~FarEnd() {
        lo_.listener.Close();
        Answered();
    }

    std::string Url() const {
        return "http://127.0.0.1:" + std::to_string(lo_.port) + "/PlayBack1.cgi?Key=1";
    }
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
        if (answer_.joinable()) answer_.join();
        return conn_ != nullptr;
    }

    nettest::Loopback lo_;  // listening before the answering thread starts
    std::unique_ptr<QNetwork::CQSocket> conn_;
    std::string lines_;  // the request head until it is complete, the command lines after it
    std::thread answer_;
};

}  // namespace srctest
