// The recorder's end of a playback connection on loopback, for the stream source tests: it
// accepts one connection, answers the GET with a response head, sends what the test gives it
// and records every byte that comes back (the command lines).
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/socket.h"
#include "platform/socket.h"

namespace srctest {

class FarEnd {
public:
    FarEnd() {
        listener_.OpenTCP();
        listener_.Bind("127.0.0.1", 0);
        listener_.Listen(1);
        port_ = platform::SocketLocalPort(listener_.GetSocket());
        thread_ = std::thread([this] { Run(); });
    }
    ~FarEnd() {
        listener_.Close();
        if (auto conn = Connection()) conn->Close();
        thread_.join();
    }

    std::string Url() const {
        return "http://127.0.0.1:" + std::to_string(port_) + "/PlayBack1.cgi?Key=1";
    }
    // Bytes to send right after the response head (they reach the source with the head).
    void SetFirstBody(const std::vector<uint8_t>& body) { first_.assign(body.begin(), body.end()); }
    // Sends more body bytes, after the response head.
    void Send(const std::vector<uint8_t>& bytes) {
        WaitFor([&] { return answered_ || closed_; });
        SendAll(Connection().get(), std::string(bytes.begin(), bytes.end()));
    }
    // Ends the connection as a recorder does when the recording is over.
    void CloseConnection() {
        if (auto conn = Connection()) conn->Shuntdown(QNetwork::ShuntdownTyps_Send);
    }
    // Everything received after the request head (the command lines).
    std::string Received() {
        std::lock_guard<std::mutex> lock(mutex_);
        return Lines();
    }
    // Waits until the text after the request head has at least the given length.
    bool WaitReceived(size_t length, int ms = 5000) {
        return WaitFor([&] { return Lines().size() >= length; }, ms);
    }

private:
    size_t HeadEnd() const {
        const size_t end = received_.find("\r\n\r\n");
        return end == std::string::npos ? end : end + 4;
    }
    std::string Lines() const {
        return HeadEnd() == std::string::npos ? "" : received_.substr(HeadEnd());
    }
    template <typename Pred>
    bool WaitFor(Pred pred, int ms = 5000) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(ms), pred);
    }
    std::shared_ptr<QNetwork::CQSocket> Connection() {
        std::lock_guard<std::mutex> lock(mutex_);
        return conn_;
    }
    static void SendAll(QNetwork::CQSocket* conn, const std::string& out) {
        for (size_t done = 0; conn && done < out.size();) {
            const int n = conn->Send(out.data() + done, static_cast<int>(out.size() - done));
            if (n < 1) break;
            done += static_cast<size_t>(n);
        }
    }
    void Run() {
        std::shared_ptr<QNetwork::CQSocket> conn(listener_.Accept().release());
        {
            std::lock_guard<std::mutex> lock(mutex_);
            conn_ = conn;
        }
        char buf[4096];
        for (int n; conn && (n = conn->Receive(buf, sizeof buf)) > 0;) {
            std::lock_guard<std::mutex> lock(mutex_);
            received_.append(buf, static_cast<size_t>(n));
            if (!answered_ && HeadEnd() != std::string::npos) {
                SendAll(
                    conn.get(),
                    "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n" + first_);
                answered_ = true;
            }
            changed_.notify_all();
        }
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        changed_.notify_all();
    }

    QNetwork::CQSocket listener_;
    int port_ = -1;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::shared_ptr<QNetwork::CQSocket> conn_;
    std::string first_;
    std::string received_;   // the request head and the command lines after it
    bool answered_ = false;  // the response head and first body are out
    bool closed_ = false;
    std::thread thread_;
};

}  // namespace srctest
