// varnel-recorder: a substitute networked video recorder (see --help).
#include <chrono>
#include <cstdio>
#include <cstring>
#include <list>
#include <memory>
#include <random>
#include <thread>

#include "catalogue.h"
#include "options.h"
#include "platform/server.h"
#include "platform/socket.h"
#include "session.h"

namespace {

struct Connection {
    platform::SOCKET socket;
    std::thread thread;
    std::atomic<bool> done{false};
};

std::string MakeNonce() {
    std::random_device random;
    char text[33];
    for (int i = 0; i < 4; ++i) std::snprintf(text + 8 * i, 9, "%08x", random());
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace recorder;
    std::string error;
    bool help = false;
    const auto options = ParseOptions(argc, argv, &error, &help);
    if (help) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (!options) {
        std::fprintf(stderr, "varnel-recorder: %s\nTry 'varnel-recorder --help'.\n", error.c_str());
        return 2;
    }
    platform::InstallStopSignals();
    std::unique_ptr<Catalogue> catalogue;
    try {
        catalogue = std::make_unique<Catalogue>(options->catalogue);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "varnel-recorder: %s\n", e.what());
        return 1;
    }
    Log log(options->log);
    if (!log.Ok()) {
        std::fprintf(stderr, "varnel-recorder: cannot write the log %s\n", options->log.c_str());
        return 1;
    }
    const uint32_t address = platform::InetAddr(options->address.c_str());
    const platform::SOCKET listener = platform::CreateSocket(
        platform::AddressFamilyInet, platform::SocketTypeStream, platform::ProtocolTcp);
    if (listener != platform::INVALID_SOCKET) platform::ReuseAddress(listener);
    if (address == platform::INADDR_NONE_VALUE || listener == platform::INVALID_SOCKET ||
        platform::BindSocket(listener, address, static_cast<uint16_t>(options->port)) != 0 ||
        platform::ListenSocket(listener, 64) != 0) {
        std::fprintf(stderr, "varnel-recorder: cannot listen on %s:%d (%s)\n",
                     options->address.c_str(), options->port,
                     std::strerror(platform::WSAGetLastError()));
        return 1;
    }
    const int port = platform::SocketLocalPort(listener);
    std::printf("varnel-recorder: serving %zu recordings of %s on %s:%d\n",
                catalogue->Entries().size(), options->catalogue.c_str(), options->address.c_str(),
                port);
    std::fflush(stdout);
    log.Line("listening on %s:%d", options->address.c_str(), port);

    std::atomic<bool> stopping{false};
    Server server{*options, *catalogue, log, MakeNonce(), stopping};
    std::list<Connection> connections;
    int next = 1;
    while (!platform::StopRequested()) {
        // Finished connections are joined as we go, so a long run keeps no dead threads.
        for (auto it = connections.begin(); it != connections.end();) {
            if (it->done) {
                it->thread.join();
                platform::CloseSocket(it->socket);
                it = connections.erase(it);
            } else {
                ++it;
            }
        }
        if (platform::WaitReadable(listener, 200) <= 0) continue;
        const platform::SOCKET s = platform::AcceptSocket(listener);
        if (s == platform::INVALID_SOCKET) continue;
        Connection& c = connections.emplace_back();
        c.socket = s;
        const int id = next++;
        c.thread = std::thread([&server, &c, id] {
            ServeConnection(server, c.socket, id);
            platform::ShutdownSocket(c.socket, platform::ShutdownHow::Both);
            c.done = true;
        });
    }
    stopping = true;
    for (Connection& c : connections)
        platform::ShutdownSocket(c.socket, platform::ShutdownHow::Both);
    for (Connection& c : connections) {
        c.thread.join();
        platform::CloseSocket(c.socket);
    }
    platform::CloseSocket(listener);
    log.Line("stopped");
    return 0;
}
