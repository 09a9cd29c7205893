// Loopback connections for the network tests: a listener on a free port of 127.0.0.1 and
// connected socket pairs made through it.
#pragma once
#include <algorithm>
#include <memory>
#include <string>
#include <utility>

#include "net/socket.h"
#include "platform/socket.h"

namespace nettest {

struct Loopback {
    QNetwork::CQSocket listener;
    int port = -1;

    Loopback() {
        listener.OpenTCP();
        listener.Bind("127.0.0.1", 0);
        listener.Listen(5);
        port = platform::SocketLocalPort(listener.GetSocket());
    }

    // A client socket connected to the listener, and the accepted server side.
    std::pair<std::unique_ptr<QNetwork::CQSocket>, std::unique_ptr<QNetwork::CQSocket>> Pair() {
        auto client = std::make_unique<QNetwork::CQSocket>();
        client->OpenTCP();
        client->Connect("127.0.0.1", port);
        return {std::move(client), listener.Accept()};
    }
};

// Receives until `count` bytes have arrived or the connection ends.
inline std::string ReceiveExactly(QNetwork::CQSocket& s, size_t count) {
    std::string out;
    char buf[4096];
    while (out.size() < count) {
        const int n = s.Receive(buf, static_cast<int>(std::min(sizeof buf, count - out.size())));
        if (n < 1) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

// Receives until the peer closes (or an error).
inline std::string ReceiveAll(QNetwork::CQSocket& s) {
    std::string out;
    char buf[4096];
    for (int n; (n = s.Receive(buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
    return out;
}

inline bool SendAll(QNetwork::CQSocket& s, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const int n = s.Send(data.data() + done, static_cast<int>(data.size() - done));
        if (n < 1) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace nettest
