// One client connection: the request, its authorization, and the answer with the command
// lines that come back while it streams.
#pragma once

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

#include "catalogue.h"
#include "options.h"
#include "platform/socket.h"

namespace recorder {

class Log {
public:
    explicit Log(const std::string& path);  // empty: standard error
    ~Log();
    bool Ok() const { return m_file != nullptr; }
    void Line(const char* format, ...) __attribute__((format(printf, 2, 3)));

private:
    std::mutex m_lock;
    std::FILE* m_file = nullptr;
    bool m_own = false;
    double m_start;
};

struct Server {
    const Options& options;
    Catalogue& catalogue;
    Log& log;
    std::string nonce;  // of this process's Digest challenges
    const std::atomic<bool>& stopping;
};

// Serves the connection to its end; the caller closes the socket.
void ServeConnection(Server& server, platform::SOCKET s, int id);

}  // namespace recorder
