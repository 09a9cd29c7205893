// Whether anything answers at the recorder's address: asked only after a run that got no
// picture, to tell an unreachable recorder from one that had nothing to send.
#pragma once

#include <string>

namespace play {

struct Address {
    std::string host;
    int port = 80;
};

// Host and port of an http:// URL ("http://host[:port]/..."); false when it has none.
bool AddressOfUrl(const std::string& url, Address& address);
// The host of --ip: what follows an account ("alice:pw@127.0.0.1" gives 127.0.0.1).
std::string HostOfIp(const std::string& ip);
// The text with the password of its account shown as "***", as the library shows it: no
// output of the program holds a password.
std::string Shown(const std::string& url);

// Tries a TCP connection (FFmpeg's tcp protocol); on failure reason says why.
bool Reachable(const Address& address, double timeoutSeconds, std::string& reason);

}  // namespace play
