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
        std::shared_ptr<QNetwork::CQSocket> conn = Connection();
        if (conn) conn->Close();
        thread_.join();
    }
    FarEnd(const FarEnd&) = delete;
    FarEnd& operator=(const FarEnd&) = delete;

    std::string Url() const {
        return "http://127.0.0.1:" + std::to_string(port_) + "/PlayBack1.cgi?Key=1";
    }

    // Bytes to send right after the response head (they reach the source with the head).
    void SetFirstBody(std::vector<uint8_t> body) { first_ = std::move(body); }

    // Sends more body bytes on the accepted connection, after the response head.
    void Send(const std::vector<uint8_t>& bytes) {
        WaitFor([&] { return answered_ || closed_; });
        std::shared_ptr<QNetwork::CQSocket> conn = Connection();
        size_t done = 0;
        while (conn && done < bytes.size()) {
            const int n = conn->Send(bytes.data() + done, static_cast<int>(bytes.size() - done));
            if (n < 1) break;
            done += static_cast<size_t>(n);
        }
    }

    // Ends the connection as a recorder does when the recording is over.
    void CloseConnection() {
        WaitFor([&] { return answered_ || closed_; });
        std::shared_ptr<QNetwork::CQSocket> conn = Connection();
        if (conn) conn->Shuntdown(QNetwork::ShuntdownTyps_Send);
    }

    // The request head that arrived, once it has been answered.
    std::string Request() {
        WaitFor([&] { return answered_ || closed_; });
        std::lock_guard<std::mutex> lock(mutex_);
        return request_;
    }

    // Everything received after the request head.
    std::string Received() {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }

    // Waits until the received text has at least the given length; false on a timeout.
    bool WaitReceived(size_t length, int ms = 5000) {
        return WaitFor([&] { return received_.size() >= length; }, ms);
    }

    // Waits until the source has closed its end.
    bool WaitClosed(int ms = 5000) {
        return WaitFor([&] { return closed_; }, ms);
    }

private:
    template <typename Pred>
    bool WaitFor(Pred pred, int ms = 5000) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(ms), pred);
    }

    std::shared_ptr<QNetwork::CQSocket> Connection() {
        std::lock_guard<std::mutex> lock(mutex_);
        return conn_;
    }

    void Run() {
        std::shared_ptr<QNetwork::CQSocket> conn(listener_.Accept().release());
        if (!conn) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            conn_ = conn;
        }
        char buf[4096];
        std::string head;
        bool answered = false;
        for (;;) {
            const int n = conn->Receive(buf, sizeof buf);
            if (n < 1) break;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (headDone_) {
                    received_.append(buf, static_cast<size_t>(n));
                } else {
                    head.append(buf, static_cast<size_t>(n));
                    const size_t end = head.find("\r\n\r\n");
                    if (end != std::string::npos) {
                        request_ = head.substr(0, end + 4);
                        received_ = head.substr(end + 4);
                        headDone_ = true;
                    }
                }
                changed_.notify_all();
                if (!headDone_ || answered) continue;
            }
            answered = true;
            std::string answer =
                "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n";
            answer.append(first_.begin(), first_.end());
            size_t done = 0;
            while (done < answer.size()) {
                const int sent =
                    conn->Send(answer.data() + done, static_cast<int>(answer.size() - done));
                if (sent < 1) break;
                done += static_cast<size_t>(sent);
            }
            std::lock_guard<std::mutex> lock(mutex_);
            answered_ = true;
            changed_.notify_all();
        }
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        changed_.notify_all();
    }

    QNetwork::CQSocket listener_;
    int port_ = -1;
    std::vector<uint8_t> first_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::shared_ptr<QNetwork::CQSocket> conn_;
    std::string request_;
    std::string received_;
    bool headDone_ = false;
    bool answered_ = false;  // the response head and first body are out
    bool closed_ = false;
    std::thread thread_;
};

}  // namespace srctest
