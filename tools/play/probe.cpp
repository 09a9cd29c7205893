#include "probe.h"

#include <charconv>

#include <varnel/varnel.h>

extern "C" {
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
}

namespace play {

bool AddressOfUrl(const std::string& url, Address& address) {
    const std::string scheme = "http://";
    if (url.compare(0, scheme.size(), scheme) != 0) return false;
    std::string rest = url.substr(scheme.size());
    rest = rest.substr(0, rest.find_first_of("/?"));
    if (size_t at = rest.rfind('@'); at != std::string::npos) rest = rest.substr(at + 1);
    address.port = 80;
    if (size_t colon = rest.rfind(':'); colon != std::string::npos) {
        std::string port = rest.substr(colon + 1);
        int value = 0;
        auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
        if (ec != std::errc() || end != port.data() + port.size() || value < 1 || value > 65535)
            return false;
        address.port = value;
        rest.resize(colon);
    }
    address.host = rest;
    return !rest.empty();
}

std::string HostOfIp(const std::string& ip) {
    return ip.substr(ip.rfind('@') + 1);  // npos + 1: all of it
}

std::string Shown(const std::string& url) {
    std::string shown(varnel_hide_password(url.c_str(), nullptr, 0) + 1, '\0');
    varnel_hide_password(url.c_str(), shown.data(), shown.size());
    shown.pop_back();
    return shown;
}

bool Reachable(const Address& address, double timeoutSeconds, std::string& reason) {
    avformat_network_init();
    std::string url = "tcp://" + address.host + ":" + std::to_string(address.port) +
                      "?timeout=" + std::to_string(static_cast<long long>(timeoutSeconds * 1e6));
    AVIOContext* io = nullptr;
    // The reason goes into varnel-play's own message; FFmpeg's log line would only repeat it.
    int level = av_log_get_level();
    av_log_set_level(AV_LOG_QUIET);
    int rc = avio_open2(&io, url.c_str(), AVIO_FLAG_READ, nullptr, nullptr);
    if (rc >= 0) avio_closep(&io);
    av_log_set_level(level);
    avformat_network_deinit();
    if (rc >= 0) return true;
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(rc, text, sizeof text);
    reason = text;
    return false;
}

}  // namespace play
